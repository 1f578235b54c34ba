#include "scrobbler/text_service.h"

#include "plugin/plugin.h"

namespace kiln {
namespace {

constexpr int kAllocate = 0;
constexpr int kRelease = 10;
constexpr int kCopyUtf8 = 31;
constexpr int kReplaceWide = 40;

// Each argument is passed by its address; a result above 0 means the slot is filled.
void* Dispatch(int code, void** args, int argCount) {
    TextService* service = Descriptor().textService;
    if (!service || !service->dispatch) {
        return nullptr;
    }
    void* result = nullptr;
    if (service->dispatch(service, code, &result, args, argCount) <= 0) {
        return nullptr;
    }
    return result;
}

}  // namespace

void* TextAllocate(size_t bytes) {
    void* args[] = {&bytes};
    return Dispatch(kAllocate, args, 1);
}

void TextRelease(void* block) {
    if (!block) {
        return;
    }
    TextService* service = Descriptor().textService;
    if (service && service->dispatch) {
        void* args[] = {&block};
        service->dispatch(service, kRelease, nullptr, args, 1);
    }
}

char* TextCopyUtf8(const char* text) {
    if (!text) {
        return nullptr;
    }
    void* args[] = {&text};
    return static_cast<char*>(Dispatch(kCopyUtf8, args, 1));
}

wchar_t* TextReplaceWide(const wchar_t* text, void* previous) {
    void* args[] = {&text, &previous};
    return static_cast<wchar_t*>(Dispatch(kReplaceWide, args, 2));
}

}  // namespace kiln
