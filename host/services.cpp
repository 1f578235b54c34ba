// The substitute host's service table: every operation of
// plugin/host_services.h, made with the host's own pieces.
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "core/host_contract.h"
#include "core/thread_annotations.h"
#include "host/host_threads.h"
#include "host/module_resources.h"
#include "host/services_internal.h"
#include "host/substitute_host.h"
#include "host/window_system.h"
#include "plugin/wide_format.h"
#include "services/artwork.h"
#include "services/gzip_text.h"
#include "services/paths.h"
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

// Host-allocated results are plain malloc blocks, released by freeMemory.
wchar_t* AllocWide(std::wstring_view text) {
    auto* out = static_cast<wchar_t*>(std::malloc((text.size() + 1) * sizeof(wchar_t)));
    if (out) {
        std::memcpy(out, text.data(), text.size() * sizeof(wchar_t));
        out[text.size()] = L'\0';
    }
    return out;
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
wchar_t* EscapeTextOp(const wchar_t* text) {
    return AllocWide(EscapeText(View(text)));
}
wchar_t* UnescapeTextOp(const wchar_t* text) {
    return AllocWide(UnescapeText(View(text)));
}

// -- title formatting and items

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

int FormatFor(const std::wstring& file, const wchar_t* format, wchar_t* out, int outSize,
              int mode) {
    if (!out || outSize <= 0) {
        return 0;
    }
    TrackInfo info = H().ItemInfo(file);
    ItemFields fields(file, info, [] { return H().Now(); });
    return CopyToBuffer(FormatTitle(View(format), fields, ModeOf(mode)), out, outSize);
}

int FormatTitleOp(wchar_t* location, int locationSize, const wchar_t* format, wchar_t* out,
                  int outSize, int mode, const void*) {
    H().StallPoint(StalledService::ItemFormatting);
    std::wstring file = H().Playback().file;
    if (location && locationSize > 0) {
        CopyToBuffer(file, location, locationSize);
    }
    return FormatFor(file, format, out, outSize, mode);
}

int FormatTitleForFileOp(const wchar_t* file, const wchar_t* format, wchar_t* out, int outSize,
                         int mode) {
    H().StallPoint(StalledService::TitleFormatting);
    return FormatFor(std::wstring(View(file)), format, out, outSize, mode);
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
int IsStreamOp(const wchar_t* name) {
    return name && IsStreamLocation(name) ? 1 : 0;
}
int IsStreamUtf8Op(const char* name) {
    return name && IsStreamLocation(Utf8ToWide(name)) ? 1 : 0;
}

// One allocation carries the record and the texts it points into.
struct MetadataRecord {
    TrackInfo info;
    TrackMetadata record{};
};

int GetMetadata(const wchar_t* file, const TrackMetadata** records, int* count, void** token) {
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
    auto* held = new MetadataRecord;
    held->info = H().ItemInfo(name);
    if (!held->info.found) {
        delete held;
        return 0;
    }
    const TrackInfo& info = held->info;
    held->record = {info.title.c_str(),       info.album.c_str(), info.artist.c_str(),
                    info.albumArtist.c_str(), info.trackNumber,   info.lengthSeconds};
    *records = &held->record;
    *count = 1;
    *token = held;
    return 0;
}

void ReleaseMetadata(void* token) {
    delete static_cast<MetadataRecord*>(token);
}

int CurrentMetadataField(wchar_t* location, int locationSize, const wchar_t* field, wchar_t* out,
                         int outSize, const void*) {
    std::wstring file = H().Playback().file;
    if (location && locationSize > 0) {
        CopyToBuffer(file, location, locationSize);
    }
    if (!out || outSize <= 0) {
        return 0;
    }
    out[0] = L'\0';
    TrackInfo info = H().ItemInfo(file);
    ItemFields fields(file, info, [] { return H().Now(); });
    std::wstring value;
    if (!field || !fields.Field(field, value)) {
        return 0;
    }
    return CopyToBuffer(value, out, outSize);
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
    const bool read = ReadLine(static_cast<std::FILE*>(file), buffer, size);
    H().StallPoint(StalledService::LineRead);
    return read ? 1 : 0;
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

int WideToUtf8BufferOp(const wchar_t* text, char* out, int limit) {
    return WideToUtf8Buffer(View(text), out, limit);
}

void* AllocMemory(size_t bytes) {
    return std::calloc(bytes ? bytes : 1, 1);
}
void FreeMemory(void* block) {
    std::free(block);
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

void FreeResourceText(wchar_t* text) {
    std::free(text);
}

const wchar_t* AboutCredit() {
    return L"the Kiln Log developers";
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
        t.version = kHostServicesVersion;
        t.size = sizeof(HostServices);
        t.readIntSetting = &ReadIntSetting;
        t.readTextSetting = &ReadTextSetting;
        t.writeIntSetting = &WriteIntSetting;
        t.writeTextSetting = &WriteTextSetting;
        t.writeTemplateSetting = &WriteTemplateSetting;
        t.escapeText = &EscapeTextOp;
        t.unescapeText = &UnescapeTextOp;
        t.formatTitle = &FormatTitleOp;
        t.formatTitleForFile = &FormatTitleForFileOp;
        t.playbackStatus = &PlaybackStatus;
        t.playbackPositionMs = &PlaybackPositionMs;
        t.currentLengthSeconds = &CurrentLengthSeconds;
        t.currentFile = &CurrentFile;
        t.isStream = &IsStreamOp;
        t.isStreamUtf8 = &IsStreamUtf8Op;
        t.getMetadata = &GetMetadata;
        t.releaseMetadata = &ReleaseMetadata;
        t.currentMetadataField = &CurrentMetadataField;
        t.artworkKindIsPlaying = &ArtworkKindIsPlaying;
        t.hasLocalLibrary = &HasLocalLibrary;
        t.libraryLookup = &LibraryLookup;
        t.pathEntry = &PathEntry;
        t.joinPath = &JoinPathOp;
        t.createPath = &CreatePathOp;
        t.normalisePath = &NormalisePathOp;
        t.fileExists = &FileExistsOp;
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
        t.nowSeconds = &NowSeconds;
        t.wideToNarrow = &WideToNarrow;
        t.narrowToWide = &NarrowToWide;
        t.wideToUtf8Buffer = &WideToUtf8BufferOp;
        t.allocMemory = &AllocMemory;
        t.freeMemory = &FreeMemory;
        t.startThread = &StartThread;
        t.reapThread = &ReapThread;
        t.waitThread = &WaitThread;
        t.closeThread = &CloseThread;
        t.createWebHandle = &CreateWebHandle;
        t.buildWebRequest = &BuildWebRequest;
        t.setWebOptionLong = &SetWebOptionLong;
        t.setWebOptionPointer = &SetWebOptionPointer;
        t.setWebOptionOffset = &SetWebOptionOffset;
        t.performWebRequest = &PerformWebRequest;
        t.webResponseCode = &WebResponseCode;
        t.freeWebRequest = &FreeWebRequest;
        t.openUrl = &OpenUrl;
        t.webBaseAddress = &WebBaseAddress;
        t.webBaseAddressWide = &WebBaseAddressWide;
        FillWindowOperations(t);
        t.registerMessage = &RegisterMessage;
        t.loadResourceText = &LoadResourceText;
        t.freeResourceText = &FreeResourceText;
        t.aboutCredit = &AboutCredit;
        t.aboutYear = &AboutYear;
        t.loadModuleString = &LoadModuleString;
        t.createModuleDialog = &CreateModuleDialog;
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
