// gen_kiln.dll in a classic player of our own under Wine: every output end
// to end, its pages and settings, and what quit leaves behind; and the
// adapter's services themselves where Windows treats them differently. The
// web fakes run on the Linux side (fakes.py), the Discord fake on a real named
// pipe.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "classic/classic_player.h"
#include "fake_discord.h"
#include "resources/resource_ids.h"
#include "services/artwork.h"
#include "services/track_info.h"
#include "tests/win/process_threads.h"

namespace kiln::classictest {
namespace {

std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

bool IsWritable(const std::wstring& folder) {
    HANDLE probe = CreateFileW((folder + L"\\probe").c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    CloseHandle(probe);
    return probe != INVALID_HANDLE_VALUE;
}

// The form Win32 takes for paths past its short limits.
std::wstring LongPath(const std::wstring& path) {
    return path.size() < MAX_PATH - 12 ? path : L"\\\\?\\" + path;
}

std::string Narrow(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// Wine maps drive Z: to the Linux root.
std::wstring WorkFolder() {
    const char* work = std::getenv("KILN_CLASSIC_WORK");
    std::wstring path = L"Z:" + Wide(work ? work : "/tmp");
    for (wchar_t& c : path) {
        c = c == L'/' ? L'\\' : c;
    }
    return path;
}

std::string ReadFile(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::wstring& path, const std::string& content) {
    std::ofstream(path.c_str(), std::ios::binary) << content;
}

std::string Address(const std::string& scheme) {
    const std::string ports = ReadFile(WorkFolder() + L"\\ports");
    const size_t at = ports.find(scheme + "=") + scheme.size() + 1;
    return scheme + "://127.0.0.1:" + ports.substr(at, ports.find('\n', at) - at);
}

struct Request {
    std::string scheme, method, path, methodName, signedOk;  // "1": a good signature
    std::string userAgent;
    std::string times;  // a submission's play times, joined by commas
};

// As fakes.py records them: one tab-separated line each, from the `skip`th on.
std::vector<Request> Requests(size_t skip = 0) {
    std::vector<Request> out;
    std::istringstream lines(ReadFile(WorkFolder() + L"\\requests.tsv"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Request r;
        for (std::string* field :
             {&r.scheme, &r.method, &r.path, &r.methodName, &r.signedOk, &r.userAgent, &r.times}) {
            std::getline(fields, *field, '\t');
        }
        if (skip > 0) {
            --skip;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

std::vector<std::string> Posts(const std::vector<Request>& requests) {
    std::vector<std::string> seen;
    for (const Request& r : requests) {
        if (r.methodName.empty()) {
            seen.push_back(r.scheme + " " + r.method + " " + r.path);
        }
    }
    return seen;
}

// An MP3 with ID3v2.3 text frames and a few silent MPEG frames.
// 38 frames are about a second.
void WriteMp3(const std::wstring& path, const std::string& artist, const std::string& title,
              int frameCount = 40) {
    std::string frames;
    for (auto [id, text] :
         {std::pair{"TPE1", artist}, {"TIT2", title}, {"TALB", "Kiln Sessions"}}) {
        uint32_t size = static_cast<uint32_t>(text.size() + 1);
        frames += id;
        frames += {char(size >> 24), char(size >> 16), char(size >> 8), char(size), 0, 0, 0};
        frames += text;
    }
    std::string tag("ID3\3\0\0", 6);
    for (int shift : {21, 14, 7, 0}) {
        tag += char((frames.size() >> shift) & 0x7F);  // the size in 7-bit bytes
    }
    std::string audio;
    for (int i = 0; i < frameCount; ++i) {
        audio += std::string("\xFF\xFB\x90\x64", 4) + std::string(413, '\0');
    }
    WriteFile(path, tag + frames + audio);
}

// A 4x4 24-bit BMP, the cover beside the files.
void WriteCover(const std::wstring& path) {
    std::string bmp = {'B', 'M', 102, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  40,
                       0,   0,   0,   4, 0, 0, 0, 4, 0, 0, 0,  1, 0, 24, 0};
    bmp += std::string(24, '\0');
    for (int i = 0; i < 16; ++i) {
        bmp += {char(0x20), char(0x80), char(0xE0)};
    }
    WriteFile(path, bmp);
}

// The dialog shown inside the tabbed container page.
HWND ShownTab(HWND container) {
    for (HWND child = GetWindow(container, GW_CHILD); child;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) != 951 && (GetWindowLongW(child, GWL_STYLE) & WS_VISIBLE)) {
            return child;
        }
    }
    return nullptr;
}

class ClassicPlayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = WorkFolder() + L"\\" + Wide(info->name());
        ini_ = root_ + L"\\ini";
        music_ = root_ + L"\\music";
        // Installed as a player installs it: in its own plug-in folder.
        plugin_ = root_ + L"\\Plugins\\gen_kiln.dll";
        for (const std::wstring& folder : {root_, ini_, music_, root_ + L"\\Plugins"}) {
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        CopyFileW(KILN_PLUGIN_DLL, plugin_.c_str(), FALSE);
        WriteMp3(music_ + L"\\one.mp3", "Kiln Trio", "First Light");
        WriteMp3(music_ + L"\\two.mp3", "Slip/Cast Trio", "Second Firing");
        WriteCover(music_ + L"\\cover.bmp");
        playlist_ = {{music_ + L"\\one.mp3", L"", 200000}, {music_ + L"\\two.mp3", L"", 180000}};
        requestsBefore_ = Requests().size();
    }

    // Settings as the user's file holds them; none: the file stays as it is.
    // With `playAtLaunch` the player starts the first entry straight after
    // init, before the plug-in's deferred start-up is handled.
    std::unique_ptr<ClassicPlayer> Start(const char* settings, Quirks quirks = {},
                                         bool playAtLaunch = false) {
        if (settings) {
            WriteFile(ini_ + L"\\gen_kiln.ini", std::string("[gen_kiln]\n") + settings);
        }
        auto player = std::make_unique<ClassicPlayer>(ini_, quirks);
        player->SetPlaylist(playlist_);
        EXPECT_TRUE(player->Load(plugin_));
        if (playAtLaunch) {
            player->Play(0);
        }
        player->Pump(100);  // the deferred start-up
        return player;
    }

    bool WaitFor(ClassicPlayer& player, const std::function<bool()>& done, DWORD limitMs = 20000) {
        for (DWORD waited = 0; waited < limitMs; waited += 50) {
            if (done()) {
                return true;
            }
            player.Pump(50);
        }
        return done();
    }

    // Requests of this test.
    std::vector<Request> Requests() const { return classictest::Requests(requestsBefore_); }
    bool Posted(ClassicPlayer& player, size_t count) {
        return WaitFor(player, [&] { return Posts(Requests()).size() >= count; });
    }

    // Whether a presence update carrying `text` reaches the fake Discord.
    bool Shows(ClassicPlayer& player, test::FakeDiscord& discord, const char* text) {
        return WaitFor(player, [&] { return Presences(discord, text) > 0; });
    }
    static size_t Presences(test::FakeDiscord& discord, const char* text) {
        const std::vector<test::Frame> frames = discord.FramesWithOpcode(1);
        return static_cast<size_t>(
            std::count_if(frames.begin(), frames.end(), [text](const test::Frame& frame) {
                return frame.payload.find(text) != std::string::npos;
            }));
    }

    std::wstring Logs() const { return LongPath(ini_ + L"\\gen_kiln\\Logs"); }
    // The dated history file's name; empty when there is none.
    std::wstring HistoryFile() const {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((Logs() + L"\\kiln_log_*-*.txt").c_str(), &found);
        FindClose(search);
        return search == INVALID_HANDLE_VALUE ? L"" : found.cFileName;
    }
    std::string History() const {
        return HistoryFile().empty() ? "" : ReadFile(Logs() + L"\\" + HistoryFile());
    }

    std::wstring root_, ini_, music_, plugin_;
    std::vector<Item> playlist_;
    size_t requestsBefore_ = 0;
};

const std::string kStamp = R"(\d\d-\d\d-\d{4} - \d\d:\d\d:\d\d)";

TEST_F(ClassicPlayerTest, PlaysThroughEveryOutput) {
    test::FakeDiscord discord({});
    const std::string http = Address("http"), https = Address("https");
    // Stop goes over HTTPS to a self-signed certificate: only the relaxed check (16) lets it
    // through.
    const int threadsBefore = test::ProcessThreads();
    const std::string settings =
        "logging_on=1\nprepost=1\nnow_logging_on=3\nupdatediscord=1\n"
        "postmodes=31\npostplay=" +
        http + "/play?artist=%artist%\npostpause=" + http + "/pause\npostunpause=" + http +
        "/unpause\npoststop=" + https + "/stop?title=%title%\n";
    auto player = Start(settings.c_str());
    EXPECT_EQ(player->DescriptorVersion(), 0x10);
    EXPECT_EQ(player->Description(), "orbit(gen_kiln.dll)");

    player->Play(0);
    // An input plug-in's title refreshes while buffering: never new items.
    for (int i = 0; i < 3; ++i) {
        player->Notify(0, 243);
    }
    auto posted = [&](size_t count) { return Posted(*player, count); };
    ASSERT_TRUE(posted(1));
    player->Pump(300);
    player->Pause();
    ASSERT_TRUE(posted(2));
    player->Resume();
    ASSERT_TRUE(posted(3));
    player->Next();
    ASSERT_TRUE(posted(4));
    ASSERT_TRUE(WaitFor(*player, [&] {
        return ReadFile(Logs() + L"\\kiln_log_now.txt") == "Slip/Cast Trio - Second Firing\r\n";
    }));
    ASSERT_TRUE(Shows(*player, discord, "Second Firing"));
    player->Stop();
    ASSERT_TRUE(posted(5));
    player->Unload();
    // Quit and FreeLibrary leave no thread, no timer and no subclass behind.
    EXPECT_EQ(test::ProcessThreads(), threadsBefore);
    EXPECT_FALSE(KillTimer(player->Main(), 738));
    EXPECT_FALSE(KillTimer(player->Main(), 748));
    EXPECT_EQ(GetWindowLongPtrW(player->Main(), GWLP_WNDPROC),
              reinterpret_cast<LONG_PTR>(player->OwnProcedure()));

    EXPECT_EQ(
        Posts(Requests()),
        (std::vector<std::string>{"http POST /play?artist=Kiln%20Trio", "http POST /pause",
                                  "http POST /unpause", "http POST /play?artist=Slip%2FCast%20Trio",
                                  "https POST /stop?title=Second%20Firing"}));
    // The player by its program's name and version word, and the plug-in.
    EXPECT_EQ(Requests().front().userAgent, "classic_player_test/5.66 gen_kiln/" KILN_VERSION_TEXT);

    ASSERT_NE(HistoryFile(), L"") << "no dated history file";
    const std::string history = History();
    const std::string& stamp = kStamp;
    EXPECT_TRUE(std::regex_search(
        history, std::regex("^<<< started @ " + stamp + " >>>\r\n" + stamp +
                            " - \"Kiln Trio\" - \"First Light\" - [^\r]*\r\n" + stamp +
                            " - \"Slip/Cast Trio\" - \"Second Firing\" - [^\r]*\r\n<<< stopped @ " +
                            stamp + " >>>\r\n$")))
        << history;
    const std::string image = ReadFile(Logs() + L"\\kiln_log_now.jpg");
    EXPECT_EQ(image.substr(0, 2), "\xFF\xD8") << "a JPEG made from the cover";
}

TEST_F(ClassicPlayerTest, PagesRunAsDialogsAndTheirSettingsSurviveARestart) {
    {
        // Plays waiting in the scrobble cache, one with its tags, one without.
        const std::wstring folder = ini_ + L"\\gen_kiln\\cache";
        ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
        WriteFile(folder + L"\\scrobble.cache", "1700000000," + Narrow(music_ + L"\\one.mp3") +
                                                    "\r\n1700000300," +
                                                    Narrow(music_ + L"\\gone.mp3") + "\r\n");
        auto player = Start("");
        std::vector<std::wstring> names;
        for (const ClassicPage& page : player->Pages()) {
            names.push_back(page.name);
        }
        ASSERT_EQ(names,
                  (std::vector<std::wstring>{L"Play Tracking", L"Discord", L"Last.fm Scrobbler",
                                             L"Scrobble Queue", L"Rules"}));
        // Every page opens as a real dialog; clicks go through their procedures.
        HWND tracking = player->OpenPreferences(0);
        ASSERT_NE(ShownTab(tracking), nullptr);
        SendDlgItemMessageW(ShownTab(tracking), IDC_HISTORY_ENABLE, BM_CLICK, 0, 0);
        HWND tabs = GetDlgItem(tracking, 951);
        SendMessageW(tabs, TCM_SETCURSEL, 1, 0);
        NMHDR change = {tabs, 951, static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageW(tracking, WM_NOTIFY, 951, reinterpret_cast<LPARAM>(&change));
        EXPECT_NE(GetDlgItem(ShownTab(tracking), IDC_NOW_MODE), nullptr) << "the now-playing tab";
        HWND presence = player->OpenPreferences(1);
        ASSERT_NE(presence, nullptr);
        SendDlgItemMessageW(presence, IDC_PRESENCE_ENABLE, BM_CLICK, 0, 0);
        EXPECT_NE(GetDlgItem(player->OpenPreferences(2), IDC_SCROBBLE_BUTTON), nullptr);
        // The queue's list is a user32 list box holding the waiting plays.
        HWND waiting = GetDlgItem(player->OpenPreferences(3), IDC_QUEUE_WAITING);
        ASSERT_NE(waiting, nullptr);
        wchar_t kind[32] = L"";
        GetClassNameW(waiting, kind, 32);
        EXPECT_EQ(std::wstring(kind), L"ListBox");
        ASSERT_EQ(SendMessageW(waiting, LB_GETCOUNT, 0, 0), 2);
        std::vector<std::wstring> shown;
        for (int i = 0; i < 2; ++i) {
            std::wstring item(static_cast<size_t>(SendMessageW(waiting, LB_GETTEXTLEN, i, 0)),
                              L' ');
            SendMessageW(waiting, LB_GETTEXT, i, reinterpret_cast<LPARAM>(item.data()));
            shown.push_back(item);
        }
        EXPECT_TRUE(shown[0].ends_with(L"Kiln Trio \u2013 First Light")) << Narrow(shown[0]);
        EXPECT_TRUE(shown[1].ends_with(L"\\gone.mp3")) << Narrow(shown[1]);
        EXPECT_EQ(SendMessageW(waiting, LB_SETSEL, TRUE, -1), 0) << "several can be selected";
        EXPECT_EQ(SendMessageW(waiting, LB_GETSELCOUNT, 0, 0), 2);
        player->Unload();
        EXPECT_TRUE(player->Pages().empty()) << "quit removes the pages";
    }
    const std::string ini = ReadFile(ini_ + L"\\gen_kiln.ini");
    for (const char* line : {"logging_on=1", "wa_cur_page=1", "updatediscord=1"}) {
        EXPECT_NE(ini.find(line), std::string::npos) << line << " in\n" << ini;
    }
    auto player = Start(nullptr);
    EXPECT_NE(GetDlgItem(ShownTab(player->OpenPreferences(0)), IDC_NOW_MODE), nullptr)
        << "the tab last shown";
    EXPECT_EQ(IsDlgButtonChecked(player->OpenPreferences(1), IDC_PRESENCE_ENABLE), BST_CHECKED);
    player->Play(0);
    EXPECT_TRUE(WaitFor(*player, [&] { return !HistoryFile().empty(); }))
        << "history logging, switched on before the restart";
    // "Remove at the next start": the plug-in has subclassed the main window.
    EXPECT_EQ(player->Uninstall(), 0);
    EXPECT_EQ(ReadFile(ini_ + L"\\gen_kiln.ini").find("gen_kiln"), std::string::npos);
}

// A classic player has no presence notice of its own: a stream's title
// notice (603/0) refreshes the presence.
TEST_F(ClassicPlayerTest, AStreamsNewTitleRefreshesThePresence) {
    test::FakeDiscord discord({});
    playlist_ = {{L"http://radio.example/live", L"Kiln Radio - Morning Glaze", 0}};
    auto player = Start("updatediscord=1\n");
    player->Play(0);
    ASSERT_TRUE(Shows(*player, discord, "Morning Glaze"));
    player->Retitle(L"Kiln Radio - Evening Kiln");
    EXPECT_TRUE(Shows(*player, discord, "Evening Kiln"));
}

// The worker reads an item's tags while the artwork thread looks for its
// pictures: on Windows neither may shut the other out of the file.
TEST_F(ClassicPlayerTest, TagsAndPicturesAreReadFromOneFileAtOnce) {
    const std::wstring file = music_ + L"\\two.mp3";
    host::SetCurrentItemSource([file] { return file; });
    ArtworkService* artwork = host::ArtworkServiceInstance();
    const uint64_t served = host::ArtworkCallbacksDelivered() + 200;
    for (int i = 0; i < 200; ++i) {
        artwork->requestArtwork(artwork, nullptr, L"cover", nullptr, 0,
                                [](void*, int, int, const uint32_t*, void*) { return 0; });
    }
    int missed = 0;
    do {
        missed += host::ReadTrackInfo(file).title != L"Second Firing";
    } while (host::ArtworkCallbacksDelivered() < served);
    EXPECT_EQ(missed, 0);
}

// The one test that waits for real: a scrobble needs half of a 32 s item played.
TEST_F(ClassicPlayerTest, ScrobblesAtTheFakeServiceWithSignedRequests) {
    WriteMp3(music_ + L"\\long.mp3", "Kiln Trio", "Long Firing", 32 * 39);
    playlist_ = {{music_ + L"\\long.mp3", L"", 32000}};
    const std::string settings =
        "scrobble=3\nsk=0123456789abcdef0123456789abcdef\n"
        "web_map=" KILN_SCROBBLE_HOST "=" +
        Address("http") + "\n";
    auto player = Start(settings.c_str());
    player->Play(0);
    auto calls = [this](const char* name) {
        std::vector<Request> found = Requests();
        std::erase_if(found, [name](const Request& r) { return r.methodName != name; });
        return found;
    };
    ASSERT_TRUE(WaitFor(*player, [&] { return calls("track.updateNowPlaying").size() == 1; }));
    ASSERT_TRUE(WaitFor(
        *player, [&] { return calls("track.scrobble").size() == 1; }, 25000));
    for (const char* name : {"track.updateNowPlaying", "track.scrobble"}) {
        EXPECT_EQ(calls(name).front().signedOk, "1") << name;
        EXPECT_EQ(calls(name).front().path.rfind("/2.0/", 0), 0u) << name;
    }
}

// Players that lack what a current one offers, or answer nonsense: the
// player survives, the plug-in finds another way, and its pages and outputs
// work.
TEST_F(ClassicPlayerTest, OddPlayersKeepTheirPagesOutputsAndSettings) {
    struct Case {
        const char* what;
        Quirks quirks;
        const wchar_t* firstPage;  // as the player lists it
        std::wstring settingsIn;   // where the plug-in keeps its settings
    };
    Quirks garbage;
    garbage.garbage = true;  // 3031, 3034, 3026, 335, 365, 619 and unknown codes
    Quirks bare;
    bare.noRegisteredMessages = true;
    bare.noWidePages = true;
    Quirks old;
    old.version = 0x5036;  // 5.36: no wide pages, asked or not
    // Without the ini folder's answer, the plug-in's own folder.
    for (const Case& c : {Case{"garbage answers", garbage, L"Play Tracking", root_ + L"\\Plugins"},
                          Case{"no 65536, no 1332", bare, L"Play Tracking", ini_},
                          Case{"5.36", old, L"Play Tracking", ini_}}) {
        SCOPED_TRACE(c.what);
        requestsBefore_ = classictest::Requests().size();
        WriteFile(c.settingsIn + L"\\gen_kiln.ini",
                  "[gen_kiln]\npostmodes=1\npostplay=" + Address("http") + "/play?title=%title%\n");
        auto player = Start(nullptr, c.quirks);
        ASSERT_EQ(player->Pages().size(), 5u) << "the deferred start-up never ran";
        EXPECT_EQ(player->Pages().front().name, c.firstPage);
        player->Play(1);
        ASSERT_TRUE(Posted(*player, 1));
        EXPECT_EQ(Posts(Requests()).front(), "http POST /play?title=Second%20Firing");
        for (LPARAM code : player->UnknownCodes()) {
            // Asked once to learn it is missing; nothing else of ours reaches the player.
            EXPECT_TRUE(code == 65536 || code == 1332) << "the player got code " << code;
        }
        // A page's change is saved where the next start reads it.
        HWND presence = player->OpenPreferences(1);
        ASSERT_NE(presence, nullptr);
        SendDlgItemMessageW(presence, IDC_PRESENCE_ENABLE, BM_CLICK, 0, 0);
        player->Stop();
        player->Unload();
        EXPECT_TRUE(player->Pages().empty());
        player.reset();
        player = Start(nullptr, c.quirks);
        EXPECT_EQ(IsDlgButtonChecked(player->OpenPreferences(1), IDC_PRESENCE_ENABLE), BST_CHECKED);
        SendDlgItemMessageW(player->OpenPreferences(1), IDC_PRESENCE_ENABLE, BM_CLICK, 0, 0);
        player->Unload();
    }
}

// Folders a narrow player cannot name, that cannot be written, or that are
// longer than Win32's short limits: settings are kept where the next start
// finds them again, and the history tab shows the folder in use.
TEST_F(ClassicPlayerTest, OddFoldersKeepSettingsAndShowTheFolderInUse) {
    const std::wstring readOnly = WorkFolder() + L"\\readonly";  // made so by run_e2e.sh
    std::wstring deep = root_ + L"\\";
    while (deep.size() < 240) {
        deep += L"deeper\\";
    }
    deep.resize(240);
    struct Case {
        std::wstring ini;       // the player's ini folder
        std::wstring settings;  // where the plug-in keeps its settings
        std::wstring files;     // and its files
    };
    const std::wstring plugins = root_ + L"\\Plugins";
    const std::wstring musik = root_ + L"\\M\u00fcsik \u266b";
    wchar_t local[MAX_PATH] = L"";
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local)));
    ini_ = local;
    DeleteFileW((Logs() + L"\\" + HistoryFile()).c_str());
    // Too deep for the plug-in's MAX_PATH buffers: its files go to local application data.
    for (const Case& c :
         {Case{musik, musik, musik}, Case{deep, deep, local}, Case{readOnly, plugins, plugins}}) {
        SCOPED_TRACE(Narrow(c.ini));
        if (GetFileAttributesW(c.ini.c_str()) == INVALID_FILE_ATTRIBUTES &&
            SHCreateDirectoryExW(nullptr, c.ini.c_str(), nullptr) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot make the folder";
            continue;
        }
        if (c.ini == readOnly && IsWritable(readOnly)) {
            std::printf("the read-only folder is writable here: that case is skipped\n");
            continue;
        }
        ini_ = c.ini;
        auto player = Start(nullptr);
        HWND tracking = player->OpenPreferences(0);
        ASSERT_NE(ShownTab(tracking), nullptr);
        SendDlgItemMessageW(ShownTab(tracking), IDC_HISTORY_ENABLE, BM_CLICK, 0, 0);
        wchar_t preview[1024] = L"";
        EXPECT_TRUE(WaitFor(
            *player,
            [&] {
                GetDlgItemTextW(ShownTab(tracking), IDC_PATH_PREVIEW, preview, 1024);
                return std::wstring(preview).find(c.files + L"\\gen_kiln\\Logs\\kiln_log_") !=
                       std::wstring::npos;
            }))
            << "the history path shown: " << Narrow(preview);
        player->Play(0);
        ini_ = c.files;
        EXPECT_TRUE(
            WaitFor(*player, [&] { return History().find("First Light") != std::string::npos; }));
        ini_ = c.ini;
        player->Unload();
        player.reset();
        EXPECT_NE(ReadFile(LongPath(c.settings + L"\\gen_kiln.ini")).find("logging_on=1"),
                  std::string::npos);
        player = Start(nullptr);
        EXPECT_EQ(IsDlgButtonChecked(ShownTab(player->OpenPreferences(0)), IDC_HISTORY_ENABLE),
                  BST_CHECKED)
            << "read back on the next start";
        player->Unload();
    }
}

// Another program reads the cache without delete sharing while a batch is
// accepted: the cache cannot be replaced (nor deleted) then. No play is
// lost, and none is sent a second time, whether the file is let go before
// the next submission or before quit.
TEST_F(ClassicPlayerTest, ACacheHeldOpenElsewhereLosesNoPlayAndSendsNoneTwice) {
    WriteMp3(music_ + L"\\long.mp3", "Kiln Trio", "Long Firing", 32 * 39);
    WriteMp3(music_ + L"\\later.mp3", "Kiln Trio", "Later Firing", 32 * 39);
    playlist_ = {{music_ + L"\\long.mp3", L"", 32000}, {music_ + L"\\later.mp3", L"", 32000}};
    const std::wstring folder = ini_ + L"\\gen_kiln\\cache", cache = folder + L"\\scrobble.cache";
    ASSERT_EQ(SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr), ERROR_SUCCESS);
    // Older plays, more than one batch: what stays in the cache makes it a rename.
    std::vector<std::string> expected;
    auto older = [&](int count) {
        std::string lines;
        for (int i = 0; i < count; ++i) {
            expected.push_back(std::to_string(1700000000 + 60 * expected.size()));
            lines += expected.back() + "," + Narrow(music_ + L"\\long.mp3") + "\r\n";
        }
        WriteFile(cache, lines);
        return CreateFileW(cache.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    auto accepted = [this] {
        std::vector<std::string> times;
        for (const Request& r : Requests()) {
            std::istringstream list(r.times);
            for (std::string time; std::getline(list, time, ',');) {
                times.push_back(time);
            }
        }
        return times;
    };
    HANDLE holder = older(51);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string settings =
        "scrobble=3\nsk=0123456789abcdef0123456789abcdef\n"
        "web_map=" KILN_SCROBBLE_HOST "=" +
        Address("http") + "\n";
    auto player = Start(settings.c_str());
    auto submitted = [&](size_t count) {
        return WaitFor(
            *player, [&] { return accepted().size() >= count; }, 25000);
    };
    player->Play(0);
    ASSERT_TRUE(submitted(50));
    player->Pump(1500);  // the replacement's attempts
    const std::string held = ReadFile(cache);
    EXPECT_EQ(std::count(held.begin(), held.end(), '\n'), 52) << "every play stays in the cache";
    CloseHandle(holder);
    player->Next();
    ASSERT_TRUE(submitted(53));
    player->Pump(1500);  // a second batch, were the first one sent again
    EXPECT_EQ(accepted().size(), 53u);
    // Held again through a submission, let go before quit.
    holder = older(1);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    player->Play(0);
    ASSERT_TRUE(submitted(55));
    player->Pump(1500);
    CloseHandle(holder);
    player->Unload();
    std::vector<std::string> times = accepted();
    std::sort(times.begin(), times.end());
    EXPECT_EQ(std::set<std::string>(times.begin(), times.end()).size(), times.size())
        << "a play sent twice";
    EXPECT_EQ(times.size(), 55u) << "each play once";
    EXPECT_TRUE(std::includes(times.begin(), times.end(), expected.begin(), expected.end()));
    EXPECT_EQ(ReadFile(cache), "") << "accepted plays left in the cache";
}

// A player whose connection setting says "offline" keeps requests off the
// Internet, not off this machine; and the scrobble cache, whose folder cannot
// be written here, goes to the user's local application data.
TEST_F(ClassicPlayerTest, OfflinePlayerStillPostsLocallyAndKeepsItsScrobbles) {
    const std::wstring cache = ini_ + L"\\gen_kiln\\cache";
    // A file where the cache folder belongs: the folder cannot be made.
    CreateDirectoryW((ini_ + L"\\gen_kiln").c_str(), nullptr);
    WriteFile(cache, "not a folder");
    wchar_t local[MAX_PATH] = L"";
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local)));
    const std::wstring journal = std::wstring(local) + L"\\gen_kiln\\cache\\scrobble.cache";
    DeleteFileW(journal.c_str());
    WriteMp3(music_ + L"\\long.mp3", "Kiln Trio", "Offline Firing", 32 * 39);
    playlist_ = {{music_ + L"\\long.mp3", L"", 32000}};
    Quirks offline;
    offline.offline = true;
    const std::string settings = "wa_cur_page=3\npostmodes=1\npostplay=" + Address("http") +
                                 "/play\nscrobble=3\nsk=0123456789abcdef0123456789abcdef\n"
                                 "web_map=" KILN_SCROBBLE_HOST "=" +
                                 Address("http") + "\n";
    auto player = Start(settings.c_str(), offline);
    // The POST tab says that remote addresses wait.
    HWND post = ShownTab(player->OpenPreferences(0));
    ASSERT_NE(GetDlgItem(post, IDC_POST_HELD_BACK), nullptr);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(post, IDC_POST_HELD_BACK), GWL_STYLE) & WS_VISIBLE);
    player->Play(0);
    ASSERT_TRUE(Posted(*player, 1));
    EXPECT_TRUE(WaitFor(
        *player, [&] { return ReadFile(journal).find("long.mp3") != std::string::npos; }, 25000))
        << "the due scrobble is journaled";
    player->Unload();
    for (const Request& r : Requests()) {
        EXPECT_EQ(r.methodName, "") << "a scrobble went out while offline";
    }
}

// One start costs a handful of questions to the player, not one per field
// per formatting call, also when the player supplies the item's fields.
TEST_F(ClassicPlayerTest, AStartAsksThePlayerLittle) {
    test::FakeDiscord discord({});
    // A format TagLib cannot read: its fields come from the player.
    WriteFile(music_ + L"\\three.kln", "not audio");
    playlist_ = {{music_ + L"\\three.kln", L"Glaze Study", 90000, L"Player Trio"}};
    Quirks metadata;
    metadata.metadata = true;
    const std::string settings =
        "logging_on=1\nnow_logging_on=1\nupdatediscord=1\npostmodes=1\n"
        "postplay=" +
        Address("http") + "/play?a=%artist%&t=%title%&l=%album%\n";
    auto player = Start(settings.c_str(), metadata);
    player->ResetAsked();
    player->Play(0);
    ASSERT_TRUE(Posted(*player, 1));
    ASSERT_TRUE(Shows(*player, discord, "Glaze Study"));
    ASSERT_TRUE(WaitFor(*player, [&] {
        return ReadFile(Logs() + L"\\kiln_log_now.txt").find("Player Trio") != std::string::npos &&
               History().find("Glaze Study") != std::string::npos;
    }));
    player->Pump(500);
    const int asked = player->Asked();
    std::printf("IPC questions for one start: %d\n", asked);
    EXPECT_LE(asked, 20);
    EXPECT_EQ(Posts(Requests()).front(),
              "http POST /play?a=Player%20Trio&t=Glaze%20Study&l=Player%20Sessions");
}

// The player answers the plug-in's dialogs as a user would: OK on a message
// box, a folder picked in the folder chooser. What each showed is kept.
struct DialogAnswers {
    std::wstring folder;  // picked in the folder chooser
    std::vector<std::wstring> texts;
    std::vector<HWND> owners;
    HHOOK hook = nullptr;
    static inline DialogAnswers* current = nullptr;

    DialogAnswers() {
        current = this;
        hook = SetWindowsHookExW(WH_CBT, &Answer, nullptr, GetCurrentThreadId());
    }
    ~DialogAnswers() {
        UnhookWindowsHookEx(hook);
        current = nullptr;
    }
    static LRESULT CALLBACK Answer(int code, WPARAM wParam, LPARAM lParam) {
        auto dialog = reinterpret_cast<HWND>(wParam);
        wchar_t kind[64] = L"";
        if (code == HCBT_ACTIVATE && current && GetClassNameW(dialog, kind, 64) &&
            std::wstring(kind) == L"#32770") {
            wchar_t text[1024] = L"";
            GetDlgItemTextW(dialog, 0xFFFF, text, 1024);  // a message box's text
            current->texts.push_back(text);
            current->owners.push_back(GetWindow(dialog, GW_OWNER));
            if (text[0] == L'\0') {
                PostMessageW(dialog, BFFM_SETSELECTIONW, TRUE,
                             reinterpret_cast<LPARAM>(current->folder.c_str()));
            }
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
};

void CALLBACK CloseMenu(HWND, UINT, UINT_PTR, DWORD) {
    EndMenu();
}

TEST_F(ClassicPlayerTest, AboutBoxAndFolderChooserAnswerThePlugin) {
    auto player = Start("");
    DialogAnswers answers;
    answers.folder = root_ + L"\\M\u00fcsik \u266b logs";
    CreateDirectoryW(answers.folder.c_str(), nullptr);
    // The plug-in's menu, its last item (About) chosen with the keyboard.
    PostMessageW(player->Main(), WM_KEYDOWN, VK_UP, 0);
    PostMessageW(player->Main(), WM_KEYDOWN, VK_RETURN, 0);
    // A menu the keys never reached is closed rather than left waiting.
    UINT_PTR guard = SetTimer(nullptr, 0, 5000, &CloseMenu);
    player->Config();
    KillTimer(nullptr, guard);
    ASSERT_EQ(answers.texts.size(), 1u) << "no About box";
    EXPECT_EQ(answers.texts[0].rfind(L"Kiln Log v" KILN_VERSION_TEXT_W, 0), 0u);
    EXPECT_EQ(answers.owners[0], player->Main());

    HWND history = ShownTab(player->OpenPreferences(0));
    SendDlgItemMessageW(history, IDC_FOLDER_BROWSE, BM_CLICK, 0, 0);
    ASSERT_EQ(answers.texts.size(), 2u) << "no folder chooser";
    wchar_t shown[MAX_PATH] = L"";
    GetDlgItemTextW(history, IDC_FOLDER, shown, MAX_PATH);
    EXPECT_EQ(std::wstring(shown), answers.folder);
    player->Unload();
    EXPECT_NE(ReadFile(ini_ + L"\\gen_kiln.ini").find("log_folder=" + Narrow(answers.folder)),
              std::string::npos);
}

// A file given at launch: the player starts it before the plug-in's deferred
// start-up is handled. Still one play, once in every output.
TEST_F(ClassicPlayerTest, APlayStartedAtLaunchCountsOnce) {
    test::FakeDiscord discord({});
    const std::string settings =
        "logging_on=1\nprepost=1\nupdatediscord=1\nuploadForDiscord=0\npostmodes=1\npostplay=" +
        Address("http") + "/play\n";
    auto player = Start(settings.c_str(), {}, /*playAtLaunch=*/true);
    ASSERT_TRUE(Posted(*player, 1));
    ASSERT_TRUE(Shows(*player, discord, "First Light"));
    player->Pump(1500);  // time for a second start to show
    // Counted before the stop, whose presence names the item too.
    const size_t presences = Presences(discord, "First Light");
    player->Stop();
    player->Unload();
    EXPECT_EQ(Posts(Requests()), std::vector<std::string>{"http POST /play"});
    EXPECT_TRUE(std::regex_match(
        History(), std::regex("<<< started @ " + kStamp + " >>>\r\n" + kStamp +
                              " - \"Kiln Trio\" - \"First Light\" - [^\r]*\r\n<<< stopped @ " +
                              kStamp + " >>>\r\n")))
        << History();
    EXPECT_EQ(presences, 1u);
}

// Stop and quit soon after a start: the history reads started, the line,
// stopped; the play and the stop are posted once each; quit takes under a
// second and leaves no thread behind.
TEST_F(ClassicPlayerTest, StopAndQuitSoonAfterAStart) {
    const std::string settings =
        "logging_on=1\nprepost=1\npostmodes=9\npostplay=" + Address("http") +
        "/play\npoststop=" + Address("http") + "/stop\n";
    for (DWORD delay : {0, 300, 700, 1200}) {
        SCOPED_TRACE(delay);
        requestsBefore_ = classictest::Requests().size();
        DeleteFileW((Logs() + L"\\" + HistoryFile()).c_str());
        const int threadsBefore = test::ProcessThreads();
        auto player = Start(settings.c_str());
        player->Play(0);
        player->Pump(delay);
        player->Stop();
        EXPECT_LT(player->Unload(), 1000u);
        EXPECT_EQ(test::ProcessThreads(), threadsBefore);
        // Each request has a thread of its own: only the set is fixed.
        std::vector<std::string> posts = Posts(Requests());
        std::sort(posts.begin(), posts.end());
        EXPECT_EQ(posts, (std::vector<std::string>{"http POST /play", "http POST /stop"}));
        EXPECT_TRUE(std::regex_match(
            History(), std::regex("<<< started @ " + kStamp + " >>>\r\n" + kStamp +
                                  " - \"Kiln Trio\" - \"First Light\" - [^\r]*\r\n<<< stopped @ " +
                                  kStamp + " >>>\r\n")))
            << History();
    }
}

// A decoder announcing a file while quit runs starts no new work: quit
// leaves no thread, and the history holds one line. A play request that the
// service is slow to answer keeps quit waiting (and so taking sent notices)
// for as long as it gives the queue, then is cut short.
TEST_F(ClassicPlayerTest, ANoticeDuringQuitStartsNothing) {
    const int threadsBefore = test::ProcessThreads();
    const std::string settings =
        "logging_on=1\nprepost=0\npostmodes=1\npostplay=" + Address("http") + "/slow\n";
    auto player = Start(settings.c_str());
    player->Play(0);
    ASSERT_TRUE(
        WaitFor(*player, [&] { return History().find("First Light") != std::string::npos; }));
    EXPECT_LT(player->Unload(/*noticesDuringQuit=*/true), 1500u);
    EXPECT_GT(player->NoticesDuringQuit(), 0) << "no notice came while quit ran";
    EXPECT_EQ(test::ProcessThreads(), threadsBefore);
    player->Pump(300);
    const std::string history = History();
    EXPECT_EQ(std::count(history.begin(), history.end(), '\n'), 1) << history;
}

}  // namespace
}  // namespace kiln::classictest
