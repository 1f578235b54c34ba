// Every operation the plug-in asks of its host, declared once.
//
// The host exports one function, `kiln_host_services`, that hands out a
// versioned table of operations. The plug-in binds it once when it is loaded
// (BindHostServices) and never links the host itself. A host without the
// export is refused politely: Host() stays null and the plug-in does nothing.
//
// Conventions of the table:
//  - wide text is wchar_t (UTF-16 on Windows, UTF-32 on Linux), narrow text UTF-8
//    unless a code page is named;
//  - buffers come with their size in elements, terminator included; the host
//    always terminates what it writes and cuts what does not fit;
//  - texts that the host allocates are released with freeMemory;
//  - nothing throws across this boundary.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/handles.h"

namespace kiln {

// Receives the reply body of a web request; returns the bytes taken.
using WebWriteRoutine = size_t (*)(char* data, size_t size, size_t count, void* userData);
// Artwork completion: the first value is unused by the plug-in; pixels are
// 32-bit ARGB rows, top to bottom, or null when the item has no artwork.
using ArtworkCallback = int (*)(void* reserved, int width, int height, const uint32_t* pixels,
                                void* userData);

// One tab of a tabbed preference page.
struct PrefsTab {
    int dialogId;
    DialogProc proc;
};

// Page-position routine of a tabbed page: (window, item, operation, value).
using PagePositionProc = intptr_t (*)(Window, int item, int operation, intptr_t value);
// Creates a tab's dialog: (dialog id, parent, dialog routine, parameter) -> window or 0.
using CreateDialogProc = Window (*)(int dialogId, Window parent, DialogProc proc, intptr_t param);

// A metadata record of the host's local view of a file.
struct TrackMetadata {
    const wchar_t* title;
    const wchar_t* album;
    const wchar_t* artist;
    const wchar_t* albumArtist;
    int trackNumber;
    int lengthSeconds;
};

// ---------------------------------------------------------------------------
// Service objects handed out in the plug-in descriptor.

// Descriptor field 9. May be absent.
struct LocalisationService {
    // Starts localisation for a module; returns the instance to load
    // resources from, or null on failure. May replace *description.
    Instance (*startLocalisation)(LocalisationService* self, Instance module, const Guid* language,
                                  int flag, const char* version, const wchar_t** description);
    // A string of the instance's string table; valid while the instance is loaded.
    const wchar_t* (*loadString)(LocalisationService* self, Instance instance, int id);
    // Creates a dialog from the localised instance, falling back to the module.
    Window (*createDialog)(LocalisationService* self, Instance localised, Instance module,
                           int dialogId, Window parent, DialogProc proc, intptr_t param);
};

// Descriptor field 11: one dispatch operation.
// codes: 0 allocate (byte count) -> buffer; 10 release (buffer) -> nothing;
//        31 copy UTF-8 text -> copy; 40 copy wide text replacing previous copy -> copy.
struct TextService {
    int (*dispatch)(TextService* self, int code, void** result, void** args, int argCount);
};

// Descriptor field 12.
struct ArtworkService {
    // Both requests fill `location` with the item now playing and return 0 when
    // the request was taken; the callback follows on a host thread.
    int (*requestArtwork)(ArtworkService* self, wchar_t* location, const wchar_t* kind,
                          void* userData, int reserved, ArtworkCallback callback);
    int (*requestResizedArtwork)(ArtworkService* self, wchar_t* location, const wchar_t* kind,
                                 void* userData, int width, int height, int enlarge, int reserved,
                                 ArtworkCallback callback);
    // Non-zero when the service can write images of the extension `format` to `path`.
    int (*canWriteFormat)(ArtworkService* self, const wchar_t* path, const wchar_t* format);
    // Writes pixels to path in `format` ("jpg", "png", ...); 0 on success.
    int (*writeImage)(ArtworkService* self, const wchar_t* path, int width, int height,
                      const uint32_t* pixels, int reserved, const wchar_t* format);
};

// ---------------------------------------------------------------------------
// The table itself. New operations are appended; `size` tells which exist.

inline constexpr uint32_t kHostServicesVersion = 1;

struct HostServices {
    uint32_t version;
    uint32_t size;  // sizeof the table the host filled

    // -- settings (section/key/value; a null value removes the key, a null key the section)
    int (*readIntSetting)(const wchar_t* section, const wchar_t* key, int defaultValue);
    // Returns the characters copied, or -1 when the store cannot be read.
    int (*readTextSetting)(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue,
                           wchar_t* buffer, int size);
    int (*writeIntSetting)(const wchar_t* section, const wchar_t* key, int value);
    int (*writeTextSetting)(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    int (*writeTemplateSetting)(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    // Multi-line text to its stored single-line form and back; host-allocated results.
    wchar_t* (*escapeText)(const wchar_t* text);
    wchar_t* (*unescapeText)(const wchar_t* text);

    // -- title formatting (modes: 0 file name, 1 values URL-escaped, 2 plain)
    // Formats for the item now playing; the host writes its location into
    // `location` (locationSize characters). Returns the characters written.
    int (*formatTitle)(wchar_t* location, int locationSize, const wchar_t* format, wchar_t* out,
                       int outSize, int mode, const void* extra);
    // Formats for a given file.
    int (*formatTitleForFile)(const wchar_t* file, const wchar_t* format, wchar_t* out, int outSize,
                              int mode);

    // -- playback and items
    int (*playbackStatus)();  // 0 stopped, 1 playing, 3 paused
    int (*playbackPositionMs)();
    int (*currentLengthSeconds)();  // 0 or less when unknown
    int (*currentFile)(wchar_t* out, int size);
    int (*isStream)(const wchar_t* name);
    int (*isStreamUtf8)(const char* name);
    // Fills *records/*count; *releaseToken goes back to releaseMetadata. 0 on success.
    int (*getMetadata)(const wchar_t* file, const TrackMetadata** records, int* count,
                       void** releaseToken);
    void (*releaseMetadata)(void* releaseToken);
    // One metadata field of the item now playing ("type": "1" for video).
    int (*currentMetadataField)(wchar_t* location, int locationSize, const wchar_t* field,
                                wchar_t* out, int outSize, const void* extra);
    int (*artworkKindIsPlaying)(wchar_t* location, int locationSize);
    int (*hasLocalLibrary)();
    // Looks `file` up with the caller's query record; non-zero when found.
    int (*libraryLookup)(const wchar_t* file, const void* query, int querySize);

    // -- files and paths
    const wchar_t* (*pathEntry)(int index);  // 2: holds "Logs"; 40: cache directory
    wchar_t* (*joinPath)(wchar_t* dest, int destSize, const wchar_t* folder, const wchar_t* name);
    int (*createPath)(const wchar_t* folder);  // with missing parents; non-zero on success
    void (*normalisePath)(wchar_t* path, int size);
    int (*fileExists)(const wchar_t* path);
    // Text-file service: opens (creating) `path` on the slot and appends `text`.
    int (*appendTextFile)(void** slot, const wchar_t* path, const char* text, int length);
    void (*closeTextFile)(void** slot);
    // Byte-mode reading.
    void* (*openForReading)(const wchar_t* path);
    int (*atEndOfFile)(void* file);
    int (*readLine)(void* file, char* buffer, int size);  // non-zero when a line was read
    void (*closeFile)(void* file);
    int (*fileDigest)(const wchar_t* path, char* out, int size);

    // -- text and numbers
    int (*textEqual)(const wchar_t* a, const wchar_t* b);  // non-zero when equal
    int (*textEqualUtf8)(const char* a, const char* b);
    int (*prefixEqualUtf8)(const char* text, const char* prefix, int count);
    int (*int64ToText)(int64_t value, char* out, int size);
    int (*textToInt)(const wchar_t* text);
    int (*md5Text)(const char* text, char* out, int size);
    int (*randomIdentifier)(wchar_t* out, int size);
    int64_t (*nowSeconds)();
    // Conversions. codePage 65001 is UTF-8, 0 the system code page; length -1
    // means up to the terminator. Results are host-allocated.
    char* (*wideToNarrow)(const wchar_t* text, int length, int codePage);
    wchar_t* (*narrowToWide)(const char* text, int length, int codePage);
    // Into a caller buffer with a byte limit; returns the bytes written.
    int (*wideToUtf8Buffer)(const wchar_t* text, char* out, int limit);
    void* (*allocMemory)(size_t bytes);
    void (*freeMemory)(void* block);

    // -- threads
    ThreadHandle (*startThread)(ThreadRoutine routine, void* argument, int flags);
    // Closes and clears *handle when its thread has ended; non-zero when it did.
    int (*reapThread)(ThreadHandle* handle);
    // 0 when the thread ended within the time, 1 on time-out.
    int (*waitThread)(ThreadHandle handle, int timeoutMs, int alertable);
    void (*closeThread)(ThreadHandle handle);

    // -- web requests (libcurl easy handles)
    void* (*createWebHandle)();
    void* (*buildWebRequest)(void* handle, int mode, char** errorText, WebWriteRoutine write,
                             const char* url, int timeoutSeconds, void* userData);
    int (*setWebOptionLong)(void* handle, int option, long value);
    int (*setWebOptionPointer)(void* handle, int option, const void* value);
    int (*setWebOptionOffset)(void* handle, int option, int64_t value);
    int (*performWebRequest)(void** handle);
    long (*webResponseCode)(void* handle);
    void (*freeWebRequest)(void* handle, void* request, char* errorText);
    int (*openUrl)(Window owner, const wchar_t* url, int flags);
    const char* (*webBaseAddress)();
    const wchar_t* (*webBaseAddressWide)();

    // -- preference pages, menus and boxes
    intptr_t (*addPrefsPage)(Instance instance, int flags, const wchar_t* name,
                             const PrefsTab* tabs, int tabCount, int parent,
                             PagePositionProc position, CreateDialogProc create, int visible,
                             LocalisationService* localisation, int group, int pageCode);
    void (*removePrefsPage)(intptr_t pageId);
    void (*replacePageDialog)(intptr_t pageId, DialogProc proc, int dialogId);
    void (*refreshPage)(intptr_t pageId, int flags);
    void (*setTabName)(intptr_t pageId, int index, const wchar_t* name);
    void (*finaliseTabs)(intptr_t pageId, int flags);
    void (*openPreferences)(intptr_t pageId, int flags);
    intptr_t (*defaultPageHandling)(Window page, unsigned message, uintptr_t wParam,
                                    intptr_t lParam, int flags);
    int (*setLinkText)(Window page, int controlId, const wchar_t* address);
    void* (*styleButton)(Window page, int controlId, void* previous);
    int (*browseForFolder)(Window owner, const wchar_t* title, wchar_t* folder, int size);
    void (*showAboutBox)(Window owner, const wchar_t* text, const wchar_t* title);
    Menu (*createPopupMenu)();
    int (*addMenuItem)(Menu menu, int id, const wchar_t* text, int position, int flags);
    void (*menuPosition)(Window* owner, int* x, int* y);
    int (*trackPopupMenu)(Menu menu, Window owner, int x, int y);  // the chosen id or 0
    void (*destroyMenu)(Menu menu);

    // -- localisation without a localisation service, and resources of a module
    unsigned (*registerMessage)(const char* name);
    // A gzip-compressed UTF-16 text resource of `module`, decompressed; null when absent.
    wchar_t* (*loadResourceText)(Instance module, int id);
    void (*freeResourceText)(wchar_t* text);
    const wchar_t* (*aboutCredit)();
    const wchar_t* (*aboutYear)();
    const wchar_t* (*loadModuleString)(Instance module, int id);
    Window (*createModuleDialog)(Instance module, int dialogId, Window parent, DialogProc proc,
                                 intptr_t param);

    // -- the host's window system (used by the POSIX platform layer only; on
    //    Windows these are user32's)
    int (*postMessage)(Window window, unsigned message, uintptr_t wParam, intptr_t lParam);
    uintptr_t (*setTimer)(Window window, uintptr_t id, unsigned milliseconds, TimerProc proc);
    int (*killTimer)(Window window, uintptr_t id);
    int (*isWindow)(Window window);
    int (*setItemText)(Window dialog, int controlId, const wchar_t* text);
    int (*getItemText)(Window dialog, int controlId, wchar_t* out, int size);
    int (*checkItem)(Window dialog, int controlId, int checked);
    int (*isItemChecked)(Window dialog, int controlId);
    intptr_t (*sendItemMessage)(Window dialog, int controlId, unsigned message, uintptr_t wParam,
                                intptr_t lParam);
    int (*enableItem)(Window dialog, int controlId, int enabled);
    int (*showItem)(Window dialog, int controlId, int shown);
    int (*messageBox)(Window owner, const wchar_t* text, const wchar_t* title, unsigned flags);

    // -- appended operations: present when `size` reaches past them
    // Zero when the host holds web requests to the Internet back (requests to
    // this machine and private networks still go); non-zero when it lets them out.
    int (*internetAllowed)();
    // Asks the user where to save a file: `path` (`size` characters) holds
    // the suggested name and receives the choice; `extension` ("csv") is
    // the kind offered and added to a name typed without one. Non-zero
    // when the user chose a file, and one that exists may be replaced.
    int (*chooseSaveFile)(Window owner, const wchar_t* title, const wchar_t* extension,
                          wchar_t* path, int size);
};

// Whether the host can ask where to save a file; older tables end before it.
inline bool HostChoosesSaveFile(const HostServices& host) {
    return host.size >= offsetof(HostServices, chooseSaveFile) + sizeof(host.chooseSaveFile) &&
           host.chooseSaveFile != nullptr;
}

// The table as first published, without the appended operations: the least a
// host must fill for the plug-in to bind it.
inline constexpr size_t kHostServicesFirstSize = offsetof(HostServices, internetAllowed);

// Whether the host holds web requests to the Internet back; a table without
// the operation holds nothing back.
inline bool HostHoldsInternetBack(const HostServices& host) {
    return host.size >= offsetof(HostServices, internetAllowed) + sizeof(host.internetAllowed) &&
           host.internetAllowed && host.internetAllowed() == 0;
}

// Bound table, or null when the host has none.
const HostServices* Host();

// Binds a table: the one the host program exports, or one of the plug-in's
// own making (the classic-host adapter).
void BindServices(const HostServices* table);

// Name of the host's export.
inline constexpr const char* kHostServicesExport = "kiln_host_services";
using HostServicesExport = const HostServices* (*)(uint32_t requestedVersion);

}  // namespace kiln
