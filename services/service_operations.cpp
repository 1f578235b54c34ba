#include "services/service_operations.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/host_contract.h"
#include "services/paths.h"
#include "services/settings_store.h"
#include "services/text_services.h"
#include "services/title_format.h"
#include "services/web_requests.h"

namespace kiln::host {
namespace {

std::wstring_view View(const wchar_t* text) {
    return text ? std::wstring_view(text) : std::wstring_view();
}

TitleMode ModeOf(int mode) {
    switch (mode) {
        case contract::kTitleModeFileName:
            return TitleMode::FileName;
        case contract::kTitleModeUrlEscaped:
            return TitleMode::UrlEscaped;
        default:
            return TitleMode::Plain;
    }
}

// One allocation carries the record and the texts it points into.
struct MetadataRecord {
    TrackInfo info;
    TrackMetadata record{};
};

void ReleaseMetadata(void* token) {
    delete static_cast<MetadataRecord*>(token);
}

wchar_t* EscapeTextOp(const wchar_t* text) {
    return AllocWide(EscapeText(View(text)));
}
wchar_t* UnescapeTextOp(const wchar_t* text) {
    return AllocWide(UnescapeText(View(text)));
}

int IsStreamOp(const wchar_t* name) {
    return name && IsStreamLocation(name) ? 1 : 0;
}
int IsStreamUtf8Op(const char* name) {
    return name && IsStreamLocation(Utf8ToWide(name)) ? 1 : 0;
}

// -- files

int AppendTextFileOp(void** slot, const wchar_t* path, const char* text, int length) {
    return AppendTextFile(slot, View(path), text, length) ? 1 : 0;
}
void* OpenForReadingOp(const wchar_t* path) {
    return OpenForReading(View(path));
}
int AtEndOfFileOp(void* file) {
    return AtEnd(static_cast<std::FILE*>(file)) ? 1 : 0;
}
int ReadLineOp(void* file, char* buffer, int size) {
    return ReadLine(static_cast<std::FILE*>(file), buffer, size) ? 1 : 0;
}
void CloseFileOp(void* file) {
    CloseFile(static_cast<std::FILE*>(file));
}
int FileDigest(const wchar_t* path, char* out, int size) {
    return CopyToBuffer(path ? Sha256FileHex(ToFsPath(path)) : std::string(), out, size);
}

// -- text and numbers

int TextEqualOp(const wchar_t* a, const wchar_t* b) {
    return TextEqual(View(a), View(b)) ? 1 : 0;
}
int TextEqualUtf8Op(const char* a, const char* b) {
    return TextEqual(std::string_view(a ? a : ""), std::string_view(b ? b : "")) ? 1 : 0;
}
int PrefixEqualUtf8Op(const char* text, const char* prefix, int count) {
    return PrefixEqual(std::string_view(text ? text : ""), std::string_view(prefix ? prefix : ""),
                       count)
               ? 1
               : 0;
}
int Int64ToTextOp(int64_t value, char* out, int size) {
    return Int64ToTextBuffer(value, out, size);
}
int TextToIntOp(const wchar_t* text) {
    return TextToInt(View(text));
}
int Md5TextOp(const char* text, char* out, int size) {
    return CopyToBuffer(Md5Hex(text ? text : ""), out, size);
}
int RandomIdentifierOp(wchar_t* out, int size) {
    return size > 0 ? CopyToBuffer(RandomIdentifier(size - 1), out, size) : 0;
}
int WideToUtf8BufferOp(const wchar_t* text, char* out, int limit) {
    return WideToUtf8Buffer(View(text), out, limit);
}

void* AllocMemory(size_t bytes) {
    return std::calloc(bytes ? bytes : 1, 1);
}
void FreeMemory(void* block) {
    std::free(block);
}

// -- resources

void FreeResourceText(wchar_t* text) {
    std::free(text);
}
const wchar_t* AboutCredit() {
    return L"the Kiln Log developers";
}

}  // namespace

wchar_t* AllocWide(std::wstring_view text) {
    auto* out = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    if (out) {
        std::memcpy(out, text.data(), text.size() * sizeof(wchar_t));
        out[text.size()] = L'\0';
    }
    return out;
}

std::wstring PlayingItem(const ItemSource& items, wchar_t* location, int locationSize) {
    std::wstring file = items.playing();
    if (location && locationSize > 0) {
        CopyToBuffer(file, location, locationSize);
    }
    return file;
}

int FormatItemTitle(const ItemSource& items, const std::wstring& file, const wchar_t* format,
                    wchar_t* out, int outSize, int mode) {
    if (!out || outSize <= 0) {
        return 0;
    }
    ItemFields fields(file, items.info(file), items.now);
    return CopyToBuffer(FormatTitle(View(format), fields, ModeOf(mode)), out, outSize);
}

int ItemField(const ItemSource& items, const std::wstring& file, const wchar_t* field, wchar_t* out,
              int outSize) {
    if (!out || outSize <= 0) {
        return 0;
    }
    out[0] = L'\0';
    ItemFields fields(file, items.info(file), items.now);
    std::wstring value;
    return field && fields.Field(field, value) ? CopyToBuffer(value, out, outSize) : 0;
}

int ItemMetadata(const ItemSource& items, const wchar_t* file, const TrackMetadata** records,
                 int* count, void** token) {
    if (!records || !count || !token) {
        return -1;
    }
    *records = nullptr;
    *count = 0;
    *token = nullptr;
    std::wstring name(View(file));
    if (name.empty() || IsStreamLocation(name)) {
        return 0;
    }
    auto held = std::make_unique<MetadataRecord>();
    held->info = items.info(name);
    if (!held->info.found) {
        return 0;
    }
    const TrackInfo& info = held->info;
    held->record = {info.title.c_str(),       info.album.c_str(), info.artist.c_str(),
                    info.albumArtist.c_str(), info.trackNumber,   info.lengthSeconds};
    *records = &held->record;
    *count = 1;
    *token = held.release();
    return 0;
}

void FillSharedOperations(HostServices& t) {
    t.version = kHostServicesVersion;
    t.size = sizeof(HostServices);
    t.escapeText = &EscapeTextOp;
    t.unescapeText = &UnescapeTextOp;
    t.isStream = &IsStreamOp;
    t.isStreamUtf8 = &IsStreamUtf8Op;
    t.releaseMetadata = &ReleaseMetadata;
    t.appendTextFile = &AppendTextFileOp;
    t.closeTextFile = &CloseTextFile;
    t.openForReading = &OpenForReadingOp;
    t.atEndOfFile = &AtEndOfFileOp;
    t.readLine = &ReadLineOp;
    t.closeFile = &CloseFileOp;
    t.fileDigest = &FileDigest;
    t.textEqual = &TextEqualOp;
    t.textEqualUtf8 = &TextEqualUtf8Op;
    t.prefixEqualUtf8 = &PrefixEqualUtf8Op;
    t.int64ToText = &Int64ToTextOp;
    t.textToInt = &TextToIntOp;
    t.md5Text = &Md5TextOp;
    t.randomIdentifier = &RandomIdentifierOp;
    t.wideToUtf8Buffer = &WideToUtf8BufferOp;
    t.allocMemory = &AllocMemory;
    t.freeMemory = &FreeMemory;
    t.createWebHandle = &CreateWebHandle;
    t.buildWebRequest = &BuildWebRequest;
    t.setWebOptionLong = &SetWebOptionLong;
    t.setWebOptionPointer = &SetWebOptionPointer;
    t.setWebOptionOffset = &SetWebOptionOffset;
    t.performWebRequest = &PerformWebRequest;
    t.webResponseCode = &WebResponseCode;
    t.freeWebRequest = &FreeWebRequest;
    t.freeResourceText = &FreeResourceText;
    t.aboutCredit = &AboutCredit;
}

}  // namespace kiln::host
