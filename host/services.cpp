// The substitute host's service table: every operation of
// plugin/host_services.h, made with the host's own pieces.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "core/host_contract.h"
#include "core/thread_annotations.h"
#include "core/wide_format.h"
#include "host/host_threads.h"
#include "host/module_resources.h"
#include "host/services_internal.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "services/artwork.h"
#include "services/gzip_text.h"
#include "services/paths.h"
#include "services/service_operations.h"
#include "services/settings_store.h"
#include "services/text_services.h"
#include "services/title_format.h"
#include "services/track_info.h"
#include "services/web_requests.h"

namespace kiln::host {
namespace {

SubstituteHost& H() {
    return SubstituteHost::Instance();
}

std::wstring_view View(const wchar_t* text) {
    return text ? std::wstring_view(text) : std::wstring_view();
}

char* AllocNarrow(std::string_view text) {
    auto* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out) {
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
    }
    return out;
}

// -- settings

int ReadIntSetting(const wchar_t* section, const wchar_t* key, int def) {
    return H().Settings().ReadInt(View(section), View(key), def);
}
int ReadTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* def, wchar_t* buffer,
                    int size) {
    return H().Settings().ReadText(View(section), View(key), def, buffer, size);
}
int WriteIntSetting(const wchar_t* section, const wchar_t* key, int value) {
    return H().Settings().WriteInt(View(section), View(key), value) ? 1 : 0;
}
int WriteTextSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return H().Settings().WriteText(section, key, value) ? 1 : 0;
}
int WriteTemplateSetting(const wchar_t* section, const wchar_t* key, const wchar_t* value) {
    return H().Settings().WriteTemplate(section, key, value) ? 1 : 0;
}

// -- title formatting and items

std::wstring PlayingFile() {
    return H().Playback().file;
}
TrackInfo ItemInfo(const std::wstring& file) {
    return H().ItemInfo(file);
}
int64_t Now() {
    return H().Now();
}
const ItemSource kItems = {&PlayingFile, &ItemInfo, &Now};

int FormatTitleOp(wchar_t* location, int locationSize, const wchar_t* format, wchar_t* out,
                  int outSize, int mode, const void*) {
    H().StallPoint(StalledService::ItemFormatting);
    return FormatItemTitle(kItems, PlayingItem(kItems, location, locationSize), format, out,
                           outSize, mode);
}

int FormatTitleForFileOp(const wchar_t* file, const wchar_t* format, wchar_t* out, int outSize,
                         int mode) {
    H().StallPoint(StalledService::TitleFormatting);
    return FormatItemTitle(kItems, std::wstring(View(file)), format, out, outSize, mode);
}

int PlaybackStatus() {
    return H().Playback().status;
}
int PlaybackPositionMs() {
    return H().Playback().positionMs;
}

int CurrentLengthSeconds() {
    PlaybackSnapshot now = H().Playback();
    if (now.lengthSeconds >= 0) {
        return now.lengthSeconds;
    }
    if (now.file.empty() || IsStreamLocation(now.file)) {
        return 0;
    }
    return ReadTrackInfo(now.file).lengthSeconds;
}

int CurrentFile(wchar_t* out, int size) {
    return CopyToBuffer(H().Playback().file, out, size);
}

int GetMetadata(const wchar_t* file, const TrackMetadata** records, int* count, void** token) {
    return ItemMetadata(kItems, file, records, count, token);
}

// "player" belongs to the playing, not to the item's tags: the followed
// player's name.
int CurrentMetadataField(wchar_t* location, int locationSize, const wchar_t* field, wchar_t* out,
                         int outSize, const void*) {
    const std::wstring file = PlayingItem(kItems, location, locationSize);
    // Seven characters: the terminator too, so that only "player" is it.
    if (field && PrefixEqual(field, L"player", 7)) {
        return CopyToBuffer(H().Playback().player, out, outSize);
    }
    return ItemField(kItems, file, field, out, outSize);
}

int ArtworkKindIsPlaying(wchar_t* location, int locationSize) {
    if (location && locationSize > 0) {
        CopyToBuffer(H().Playback().file, location, locationSize);
    }
    return 0;
}

int HasLocalLibrary() {
    return H().HasLibrary() ? 1 : 0;
}

int LibraryLookup(const wchar_t* file, const void*, int) {
    return file && H().InLibrary(file) ? 1 : 0;
}

// Texts the table hands out by pointer stay valid for the life of the
// process, whatever another thread asks meanwhile: each distinct text is kept
// once and never changed.
Mutex internLock;
std::set<std::wstring> internedWide GUARDED_BY(internLock);
std::set<std::string> internedNarrow GUARDED_BY(internLock);

const wchar_t* Interned(std::wstring text) {
    MutexLock guard(internLock);
    return internedWide.insert(std::move(text)).first->c_str();
}

const char* Interned(std::string text) {
    MutexLock guard(internLock);
    return internedNarrow.insert(std::move(text)).first->c_str();
}

// -- files and paths

const wchar_t* PathEntry(int index) {
    if (index == 2) {
        return Interned(FromFsPath(H().Profile()));
    }
    if (index == 40) {
        return Interned(FromFsPath(H().CacheFolder()));
    }
    return nullptr;
}

wchar_t* JoinPathOp(wchar_t* dest, int destSize, const wchar_t* folder, const wchar_t* name) {
    CopyToBuffer(JoinPath(View(folder), View(name)), dest, destSize);
    return dest;
}

int CreatePathOp(const wchar_t* folder) {
    return folder && CreatePath(folder) ? 1 : 0;
}

void NormalisePathOp(wchar_t* path, int size) {
    if (path && size > 0) {
        CopyToBuffer(NormalisePath(path), path, size);
    }
}

int FileExistsOp(const wchar_t* path) {
    return path && FileExists(path) ? 1 : 0;
}

int ReadLineOp(void* file, char* buffer, int size) {
    const bool read = ReadLine(static_cast<std::FILE*>(file), buffer, size);
    H().StallPoint(StalledService::LineRead);
    return read ? 1 : 0;
}

// -- text and numbers

int64_t NowSeconds() {
    H().StallPoint(StalledService::Clock);
    return H().Now();
}

// The system code page of this host is UTF-8, so both code pages convert alike.
char* WideToNarrow(const wchar_t* text, int length, int) {
    if (!text) {
        return nullptr;
    }
    std::wstring_view view =
        length < 0 ? std::wstring_view(text) : std::wstring_view(text, static_cast<size_t>(length));
    return AllocNarrow(WideToUtf8(view));
}

wchar_t* NarrowToWide(const char* text, int length, int) {
    if (!text) {
        return nullptr;
    }
    std::string_view view =
        length < 0 ? std::string_view(text) : std::string_view(text, static_cast<size_t>(length));
    bool ok = true;
    std::wstring wide = Utf8ToWide(view, &ok);
    return ok ? AllocWide(wide) : nullptr;
}

// -- threads

ThreadHandle StartThread(ThreadRoutine routine, void* argument, int) {
    return H().Threads().Start(routine, argument);
}
int ReapThread(ThreadHandle* handle) {
    return H().Threads().Reap(handle);
}
int WaitThread(ThreadHandle handle, int timeoutMs, int) {
    // Alertable waits run the main thread's queued work meanwhile, as a
    // player's would run completion routines.
    return H().Threads().Wait(handle, timeoutMs);
}
void CloseThread(ThreadHandle handle) {
    H().Threads().Close(handle);
}

// -- web

int OpenUrl(Window owner, const wchar_t* url, int flags) {
    return H().Windows().OpenUrl(owner, url, flags);
}
const char* WebBaseAddress() {
    return Interned(H().WebBase());
}
const wchar_t* WebBaseAddressWide() {
    return Interned(H().WebBaseWide());
}

// -- localisation and resources

unsigned RegisterMessage(const char* name) {
    if (H().Options().failMessageRegistration) {
        return 0;
    }
    return H().Windows().RegisterMessage(name ? name : "");
}

wchar_t* LoadResourceText(Instance module, int id) {
    std::span<const uint8_t> blob = ModuleBlob(module, id);
    if (blob.empty()) {
        return nullptr;
    }
    std::optional<std::wstring> text = DecompressUtf16Text(blob);
    return text ? AllocWide(*text) : nullptr;
}

const wchar_t* AboutYear() {
    static thread_local wchar_t year[8];
    std::time_t now = static_cast<std::time_t>(H().Now());
    std::tm local{};
    localtime_r(&now, &local);
    CopyToBuffer(std::to_wstring(local.tm_year + 1900), year, 8);
    return year;
}

const wchar_t* LoadModuleString(Instance module, int id) {
    return module ? ModuleString(module, id) : nullptr;
}

Window CreateModuleDialog(Instance module, int dialogId, Window parent, DialogProc proc,
                          intptr_t param) {
    const res::DialogEntry* entry = module ? ModuleDialog(module, dialogId) : nullptr;
    return entry ? H().Windows().CreateDialogFromTemplate(entry, parent, proc, param) : nullptr;
}

// -- descriptor service objects

Instance StartLocalisation(LocalisationService*, Instance module, const Guid*, int,
                           const char* version, const wchar_t** description) {
    if (H().Options().failLocalisation) {
        return nullptr;
    }
    if (H().Options().localiseDescription && description) {
        const wchar_t* name = ModuleString(module, 1);
        if (name) {
            wchar_t text[256];
            std::wstring wideVersion = Utf8ToWide(version ? version : "");
            FormatWide(text, 256, name, {wideVersion.c_str()});
            H().SetLocalisedDescription(text);
            *description = H().LocalisedDescription().c_str();
        }
    }
    return module;
}

const wchar_t* LocalisedString(LocalisationService*, Instance instance, int id) {
    return instance ? ModuleString(instance, id) : nullptr;
}

Window LocalisedDialog(LocalisationService*, Instance localised, Instance module, int dialogId,
                       Window parent, DialogProc proc, intptr_t param) {
    Window made = CreateModuleDialog(localised, dialogId, parent, proc, param);
    return made ? made : CreateModuleDialog(module, dialogId, parent, proc, param);
}

int TextDispatch(TextService*, int code, void** result, void** args, int argCount) {
    return H().Texts().Dispatch(code, result, args, argCount);
}

LocalisationService localisationService = {&StartLocalisation, &LocalisedString, &LocalisedDialog};
TextService textService = {&TextDispatch};

}  // namespace

LocalisationService* SubstituteHost::Localisation() {
    return &localisationService;
}
TextService* SubstituteHost::TextServiceObject() {
    return &textService;
}
ArtworkService* SubstituteHost::ArtworkServiceObject() {
    return ArtworkServiceInstance();
}

const HostServices* SubstituteHost::Table() const {
    static const HostServices table = [] {
        HostServices t{};
        FillSharedOperations(t);
        t.readIntSetting = &ReadIntSetting;
        t.readTextSetting = &ReadTextSetting;
        t.writeIntSetting = &WriteIntSetting;
        t.writeTextSetting = &WriteTextSetting;
        t.writeTemplateSetting = &WriteTemplateSetting;
        t.formatTitle = &FormatTitleOp;
        t.formatTitleForFile = &FormatTitleForFileOp;
        t.playbackStatus = &PlaybackStatus;
        t.playbackPositionMs = &PlaybackPositionMs;
        t.currentLengthSeconds = &CurrentLengthSeconds;
        t.currentFile = &CurrentFile;
        t.getMetadata = &GetMetadata;
        t.currentMetadataField = &CurrentMetadataField;
        t.artworkKindIsPlaying = &ArtworkKindIsPlaying;
        t.hasLocalLibrary = &HasLocalLibrary;
        t.libraryLookup = &LibraryLookup;
        t.pathEntry = &PathEntry;
        t.joinPath = &JoinPathOp;
        t.createPath = &CreatePathOp;
        t.normalisePath = &NormalisePathOp;
        t.fileExists = &FileExistsOp;
        t.readLine = &ReadLineOp;
        t.nowSeconds = &NowSeconds;
        t.wideToNarrow = &WideToNarrow;
        t.narrowToWide = &NarrowToWide;
        t.startThread = &StartThread;
        t.reapThread = &ReapThread;
        t.waitThread = &WaitThread;
        t.closeThread = &CloseThread;
        t.openUrl = &OpenUrl;
        t.webBaseAddress = &WebBaseAddress;
        t.webBaseAddressWide = &WebBaseAddressWide;
        FillWindowOperations(t);
        t.registerMessage = &RegisterMessage;
        t.loadResourceText = &LoadResourceText;
        t.aboutYear = &AboutYear;
        t.loadModuleString = &LoadModuleString;
        t.createModuleDialog = &CreateModuleDialog;
        // kiln-host has no connection setting of its own: nothing is held back.
        t.internetAllowed = [] { return 1; };
        return t;
    }();
    return &table;
}

}  // namespace kiln::host

// The one export the plug-in looks for in its host program.
extern "C" __attribute__((visibility("default"))) const kiln::HostServices* kiln_host_services(
    uint32_t requestedVersion) {
    if (requestedVersion > kiln::kHostServicesVersion) {
        return nullptr;
    }
    return kiln::host::SubstituteHost::Instance().Table();
}
