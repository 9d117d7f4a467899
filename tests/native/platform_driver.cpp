// Tests the file-system layer (src/platform.hpp) alone, without Python:
// built natively against platform_posix.cpp, and for Windows against
// platform_windows.cpp (run under Wine by scripts/windows-check.sh).
//
//   platform_driver WORKDIR [--kills N] [--seed S] [--full DIR]
//
// (R7U_DRIVER_VERBOSE=1 also prints the size of each torn file.)
//
// WORKDIR must exist and be empty. --full names an existing folder on a
// file system with a few KiB free, for the disk-full case. The kill test
// ends child writers at random points (TerminateProcess, or SIGKILL) and
// needs the target whole after every kill; its negative control ends a
// plain truncate-and-write writer the same way and must catch torn files.
#include "../../src/platform.hpp"

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pf = r7u::platform;
using PathString = std::basic_string<pf::PathChar>;

namespace {

int g_failures = 0;
std::string g_start;  // the working folder at start

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) ++g_failures;
}

void skip(const std::string& what, const char* why) { std::printf("skip %s (%s)\n", what.c_str(), why); }

#ifdef _WIN32
const char* const kLineEnd = "\r\n";

PathString native(const std::string& utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

std::string utf8_of(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

FILE* open_file(const std::string& path, const char* mode) { return _wfopen(native(path).c_str(), native(mode).c_str()); }
bool make_dir(const std::string& path) { return CreateDirectoryW(native(path).c_str(), nullptr) != 0; }
bool change_dir(const std::string& path) { return SetCurrentDirectoryW(native(path).c_str()) != 0; }
std::string current_dir() {
    wchar_t buf[32768];
    DWORD n = GetCurrentDirectoryW(32768, buf);
    return n ? utf8_of(buf) : std::string(".");
}
bool remove_file(const std::string& path) { return DeleteFileW(native(path).c_str()) != 0; }
bool hard_link(const std::string& from, const std::string& to) {
    return CreateHardLinkW(native(to).c_str(), native(from).c_str(), nullptr) != 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(native(dir + "\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        std::string n = utf8_of(fd.cFileName);
        if (n != "." && n != "..") names.push_back(n);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return names;
}

struct Child {
    HANDLE process = nullptr;
};

Child spawn_writer(const std::string& mode, const std::string& path) {
    wchar_t exe[32768];
    GetModuleFileNameW(nullptr, exe, 32768);
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --child " + native(mode) + L" \"" + native(path) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Under Wine a start now and then fails for reasons of its own (1359 on
    // a loaded machine); a few tries tell that from a real fault.
    for (int tries = 1; !CreateProcessW(exe, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
         ++tries) {
        if (tries == 10) {
            std::fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
            std::exit(2);
        }
        Sleep(200);
    }
    CloseHandle(pi.hThread);
    return {pi.hProcess};
}

void kill_child(Child& c) {
    TerminateProcess(c.process, 9);
    WaitForSingleObject(c.process, INFINITE);
    CloseHandle(c.process);
}

bool child_alive(const Child& c) { return WaitForSingleObject(c.process, 0) == WAIT_TIMEOUT; }
#else
const char* const kLineEnd = "\n";

PathString native(const std::string& s) { return s; }
FILE* open_file(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
bool make_dir(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }
bool change_dir(const std::string& path) { return chdir(path.c_str()) == 0; }
std::string current_dir() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}
bool remove_file(const std::string& path) { return unlink(path.c_str()) == 0; }
bool hard_link(const std::string& from, const std::string& to) { return link(from.c_str(), to.c_str()) == 0; }

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    return names;
}

struct Child {
    pid_t pid = -1;
};

[[noreturn]] void child_main(const std::string& mode, const std::string& path);

Child spawn_writer(const std::string& mode, const std::string& path) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) child_main(mode, path);
    return {pid};
}

void kill_child(Child& c) {
    kill(c.pid, SIGKILL);
    int status;
    waitpid(c.pid, &status, 0);
}

bool child_alive(const Child& c) { return waitpid(c.pid, nullptr, WNOHANG) == 0; }
#endif

const char kSep = '/';  // accepted by both file APIs

std::string join(const std::string& dir, const std::string& name) { return dir + kSep + name; }

// The bytes a text-mode write of `text` leaves on this platform.
std::string on_disk(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += kLineEnd;
        else out += c;
    }
    return out;
}

bool read_file(const std::string& path, std::string* out) {
    FILE* f = open_file(path, "rb");
    if (!f) return false;
    out->clear();
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    std::fclose(f);
    return true;
}

bool write_raw(const std::string& path, const std::string& bytes) {
    FILE* f = open_file(path, "wb");
    if (!f) return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string content(const std::string& path) {
    std::string s;
    return read_file(path, &s) ? s : std::string("<missing>");
}

pf::WriteResult replace(const std::string& path, const std::string& text) {
    PathString p = native(path);
    return pf::replace_file(p.data(), p.size(), text.data(), text.size());
}

const char* outcome_name(pf::Outcome o) {
    switch (o) {
        case pf::Outcome::Done:
            return "Done";
        case pf::Outcome::InPlace:
            return "InPlace";
        case pf::Outcome::Failed:
            return "Failed";
        case pf::Outcome::Swapped:
            return "Swapped";
    }
    return "?";
}

std::string describe(const pf::WriteResult& r) {
    return std::string(outcome_name(r.outcome)) + (r.outcome == pf::Outcome::Failed ? " " + std::to_string(r.err) : "");
}

bool is_temp_name(const std::string& n) {
    return n.size() > 16 && n[0] == '.' && n.compare(n.size() - 4, 4, ".tmp") == 0;
}

std::set<std::string> names_in(const std::string& dir) {
    auto v = list_dir(dir);
    return {v.begin(), v.end()};
}

std::string listing(const std::set<std::string>& names) {
    std::string s = "{";
    for (const auto& n : names) s += (s.size() > 1 ? ", " : "") + n;
    return s + "}";
}

void expect_names(const std::string& dir, const std::set<std::string>& want, const std::string& what) {
    auto got = names_in(dir);
    check(got == want, what + ": folder holds " + listing(got));
}

std::string lines(char letter, int width, int count) {
    std::string line(static_cast<std::size_t>(width), letter);
    std::string text;
    for (int i = 0; i < count; ++i) text += line + "\n";
    return text;
}

// ---------------------------------------------------------------------------
// The child writers of the kill test: they write A and B in turn until
// ended, and create PATH.ready after the first whole write.
const std::string kTextA = lines('A', 63, 10000);
const std::string kTextB = lines('B', 79, 10000);

void write_in_place(const std::string& path, const std::string& text) {
    FILE* f = open_file(path, "wb");
    if (!f) return;
    std::string bytes = on_disk(text);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

[[noreturn]] void child_main(const std::string& mode, const std::string& path) {
    bool safe = mode == "writer";
    for (long i = 0;; ++i) {
        const std::string& text = (i % 2) ? kTextB : kTextA;
        if (safe) {
            pf::WriteResult r = replace(path, text);
            if (r.outcome != pf::Outcome::Done) {
                std::fprintf(stderr, "child writer: %s\n", describe(r).c_str());
                std::_Exit(3);
            }
        } else {
            write_in_place(path, text);
        }
        if (i == 0) write_raw(path + ".ready", "");
    }
}

// ---------------------------------------------------------------------------
void test_new_file(const std::string& work) {
    std::string dir = join(work, "new");
    make_dir(dir);
    const std::string text = "[\n    {\n        \"name\": \"speed\"\n    }\n]";
    auto r = replace(join(dir, "book.d7ori"), text);
    check(r.outcome == pf::Outcome::Done, "new file: " + describe(r));
    check(content(join(dir, "book.d7ori")) == on_disk(text), "new file: bytes with the platform's line end");
    // A name outside ASCII reaches the file system as itself.
    const std::string wide = "b\xc3\xbc" "cher-\xe6\x96\x87\xe4\xbb\xb6.d7ori";
    r = replace(join(dir, wide), "[]");
    check(r.outcome == pf::Outcome::Done, "non-ASCII name: " + describe(r));
    check(content(join(dir, wide)) == "[]", "non-ASCII name: content");
    expect_names(dir, {"book.d7ori", wide}, "new file: no temporary file left");
    r = replace(join(dir, "empty.d7ori"), "");
    check(r.outcome == pf::Outcome::Done && content(join(dir, "empty.d7ori")).empty(), "empty text: empty file");
    // A bare name: the temporary file goes to the working folder.
    change_dir(dir);
    r = replace("bare.d7ori", "[]");
    change_dir(g_start);
    check(r.outcome == pf::Outcome::Done && content(join(dir, "bare.d7ori")) == "[]", "bare name: " + describe(r));
    expect_names(dir, {"book.d7ori", wide, "empty.d7ori", "bare.d7ori"}, "bare name: no temporary file left");
}

void test_replacement(const std::string& work) {
    std::string dir = join(work, "replace");
    make_dir(dir);
    std::string target = join(dir, "book.d7ori");
    write_raw(target, "old content");
#ifdef _WIN32
    // Compared with what the file system shows before the replacement: not
    // every one keeps every attribute or a creation time we set.
    PathString wt = native(target);
    SetFileAttributesW(wt.c_str(), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    const DWORD attrs = GetFileAttributesW(wt.c_str());
    FILETIME created_set{}, created_before{};
    {
        HANDLE h = CreateFileW(wt.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        SYSTEMTIME st{2001, 2, 0, 3, 4, 5, 6, 0};
        SystemTimeToFileTime(&st, &created_set);
        SetFileTime(h, &created_set, nullptr, nullptr);
        GetFileTime(h, &created_before, nullptr, nullptr);
        CloseHandle(h);
    }
#else
    chmod(target.c_str(), 0640);
#endif
    const std::string text = "[\n    1,\n    2\n]";
    auto r = replace(target, text);
    check(r.outcome == pf::Outcome::Done, "replacement: " + describe(r));
    check(content(target) == on_disk(text), "replacement: new bytes");
    expect_names(dir, {"book.d7ori"}, "replacement: no temporary file left");
#ifdef _WIN32
    DWORD now = GetFileAttributesW(wt.c_str());
    check(now == attrs, "replacement: attributes kept (" + std::to_string(attrs) + " -> " + std::to_string(now) + ")");
    if (CompareFileTime(&created_before, &created_set) == 0) {
        HANDLE h = CreateFileW(wt.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        FILETIME created_after{};
        GetFileTime(h, &created_after, nullptr, nullptr);
        CloseHandle(h);
        check(CompareFileTime(&created_before, &created_after) == 0, "replacement: creation time kept");
    } else {
        skip("replacement: creation time kept", "this file system does not keep a creation time we set");
    }
#else
    struct stat st;
    stat(target.c_str(), &st);
    check((st.st_mode & 07777) == 0640, "replacement: mode kept");
#endif
}

#ifdef _WIN32
std::string dacl_of(const std::string& path) {
    DWORD need = 0;
    GetFileSecurityW(native(path).c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &need);
    std::string sd(need, '\0');
    if (!need || !GetFileSecurityW(native(path).c_str(), DACL_SECURITY_INFORMATION, sd.data(), need, &need)) return "";
    return sd;
}
#endif

void test_access_rules(const std::string& work) {
#ifdef _WIN32
    std::string dir = join(work, "rules");
    make_dir(dir);
    std::string target = join(dir, "book.d7ori"), plain = join(dir, "plain.d7ori");
    write_raw(target, "old");
    write_raw(plain, "old");
    PSECURITY_DESCRIPTOR sd = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)(A;;FR;;;BU)", SDDL_REVISION_1, &sd, nullptr);
    SetFileSecurityW(native(target).c_str(), DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    const std::string before = dacl_of(target);
    if (before.empty() || before == dacl_of(plain)) {
        skip("replacement: access rules kept", "this file system keeps no access rules of their own");
        return;
    }
    auto r = replace(target, "new");
    check(r.outcome == pf::Outcome::Done && content(target) == "new", "access rules: " + describe(r));
    check(dacl_of(target) == before, "replacement: access rules kept");
    expect_names(dir, {"book.d7ori", "plain.d7ori"}, "access rules: no temporary file left");
#else
    (void)work;
#endif
}

void test_line_ends(const std::string& work) {
    std::string dir = join(work, "lineends");
    make_dir(dir);
    std::string target = join(dir, "t.d7ori");
    // A "\r" of the text passes as it is; only "\n" becomes the line end.
    auto r = replace(target, "a\nb\r\n\nc");
    check(r.outcome == pf::Outcome::Done &&
              content(target) == (std::strcmp(kLineEnd, "\r\n") == 0 ? "a\r\nb\r\r\n\r\nc" : "a\nb\r\n\nc"),
          "line ends: text-mode bytes");
    // Line ends across the writer's buffer boundaries.
    std::string many(200001, '\n');
    many[100000] = 'x';
    r = replace(target, many);
    check(r.outcome == pf::Outcome::Done && content(target) == on_disk(many), "line ends: long text of line ends");
    std::string utf8 = "\xe4\xb8\xad\xe6\x96\x87\n\xf0\x9f\x98\x80\n";
    r = replace(target, utf8);
    check(r.outcome == pf::Outcome::Done && content(target) == on_disk(utf8), "line ends: UTF-8 bytes unchanged");
}

void test_locked(const std::string& work) {
#ifdef _WIN32
    std::string dir = join(work, "locked");
    make_dir(dir);
    std::string target = join(dir, "book.d7ori");
    struct Case {
        const char* what;
        DWORD share;
    } cases[] = {
        {"locked target (held open, no write sharing)", FILE_SHARE_READ},
        {"locked target (held open, no delete sharing)", FILE_SHARE_READ | FILE_SHARE_WRITE},
    };
    for (const auto& c : cases) {
        write_raw(target, "old");
        HANDLE h = CreateFileW(native(target).c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
        auto r = replace(target, "new");
        CloseHandle(h);
        check(r.outcome == pf::Outcome::Failed && r.err == EACCES, std::string(c.what) + ": " + describe(r));
        check(content(target) == "old", std::string(c.what) + ": old content kept");
        expect_names(dir, {"book.d7ori"}, std::string(c.what) + ": no temporary file left");
    }
#else
    (void)work;
    skip("locked target", "no mandatory locks on this platform");
#endif
}

void test_in_place_cases(const std::string& work) {
    std::string dir = join(work, "inplace");
    make_dir(dir);
    // A missing folder, a folder under the target's name: the in-place
    // open reports them on Windows, the POSIX layer itself elsewhere.
#ifdef _WIN32
    const pf::WriteResult missing{pf::Outcome::InPlace, 0}, folder{pf::Outcome::InPlace, 0};
#else
    const pf::WriteResult missing{pf::Outcome::Failed, ENOENT}, folder{pf::Outcome::Failed, EISDIR};
#endif
    auto r = replace(join(join(dir, "missing"), "b.d7ori"), "[]");
    check(r.outcome == missing.outcome && r.err == missing.err, "missing folder: " + describe(r));
    make_dir(join(dir, "folder.d7ori"));
    r = replace(join(dir, "folder.d7ori"), "[]");
    check(r.outcome == folder.outcome && r.err == folder.err, "target is a folder: " + describe(r));
    // A hard-linked target keeps its links: written in place, by the POSIX
    // layer itself, by the caller on Windows.
    write_raw(join(dir, "a.d7ori"), "old");
    if (hard_link(join(dir, "a.d7ori"), join(dir, "b.d7ori"))) {
        r = replace(join(dir, "a.d7ori"), "new");
#ifdef _WIN32
        check(r.outcome == pf::Outcome::InPlace, "hard-linked target: " + describe(r));
        check(content(join(dir, "a.d7ori")) == "old" && content(join(dir, "b.d7ori")) == "old",
              "hard-linked target: untouched");
#else
        check(r.outcome == pf::Outcome::Done, "hard-linked target: " + describe(r));
        check(content(join(dir, "a.d7ori")) == "new" && content(join(dir, "b.d7ori")) == "new",
              "hard-linked target: written in place, both names");
#endif
    } else {
        skip("hard-linked target", "no hard links here");
        write_raw(join(dir, "b.d7ori"), "old");
    }
#ifdef _WIN32
    // A named stream would be lost by a new file renamed over its file.
    std::string streams = join(dir, "streams.d7ori");
    write_raw(streams, "old");
    if (write_raw(streams + ":extra", "stream") && content(streams + ":extra") == "stream" &&
        names_in(dir).count("streams.d7ori:extra") == 0) {
        r = replace(streams, "new");
        check(r.outcome == pf::Outcome::InPlace && content(streams + ":extra") == "stream",
              "target with a named stream: " + describe(r));
    } else {
        skip("target with a named stream", "no named streams on this file system");
        remove_file(streams + ":extra");
    }
    remove_file(streams);
    std::string ro = join(dir, "ro.d7ori");
    write_raw(ro, "old");
    SetFileAttributesW(native(ro).c_str(), FILE_ATTRIBUTE_READONLY);
    r = replace(ro, "new");
    check(r.outcome == pf::Outcome::InPlace && content(ro) == "old", "read-only target: " + describe(r));
    SetFileAttributesW(native(ro).c_str(), FILE_ATTRIBUTE_NORMAL);
    expect_names(dir, {"folder.d7ori", "a.d7ori", "b.d7ori", "ro.d7ori"}, "in-place cases: no temporary file left");
#else
    expect_names(dir, {"folder.d7ori", "a.d7ori", "b.d7ori"}, "in-place cases: no temporary file left");
#endif
}

// The writer in its steps: a live temporary file is private and survives
// a clean-up; a file swapped in before the commit is left as it is.
void test_steps(const std::string& work) {
    std::string dir = join(work, "steps");
    make_dir(dir);
    std::string target = join(dir, "book.d7ori"), other = join(dir, "other");
    const std::string lookalike = ".book.d7ori.abcdefghijklmnop.tmp";  // the shape, not the check letters
    write_raw(target, "old");
    write_raw(join(dir, lookalike), "mine");
    PathString t = native(target), d = native(dir);
    pf::Replacement live;
    auto r = live.prepare(t.data(), t.size());
    check(r.outcome == pf::Outcome::Done, "steps: prepare: " + describe(r));
    std::string temp;
    for (const auto& n : list_dir(dir))
        if (n != "book.d7ori" && n != lookalike) temp = n;
#ifndef _WIN32
    struct stat st;
    check(stat(join(dir, temp).c_str(), &st) == 0 && (st.st_mode & 0777) == 0600, "steps: temporary file made 0600");
#endif
    r = live.write("new", 3);
    check(r.outcome == pf::Outcome::Done && live.sync().outcome == pf::Outcome::Done, "steps: write: " + describe(r));
    pf::clear_stale_temps(d.data(), d.size());
    expect_names(dir, {"book.d7ori", lookalike, temp}, "steps: a live temporary file survives a clean-up");
    write_raw(other, "theirs");
#ifdef _WIN32
    PSECURITY_DESCRIPTOR sd = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;WD)", SDDL_REVISION_1, &sd, nullptr);
    SetFileSecurityW(native(other).c_str(), DACL_SECURITY_INFORMATION, sd);
    LocalFree(sd);
    const bool differs = dacl_of(other) != dacl_of(target);
    MoveFileExW(native(other).c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
    chmod(other.c_str(), 0604);
    const bool differs = rename(other.c_str(), target.c_str()) == 0;
#endif
    if (differs) {
        r = live.commit(pf::FolderSync::Now);
        check(r.outcome == pf::Outcome::Swapped && content(target) == "theirs", "steps: swapped file kept: " + describe(r));
    } else {
        skip("steps: swapped file kept", "this file system keeps no access rules of their own");
        live.commit(pf::FolderSync::Now);
    }
    expect_names(dir, {"book.d7ori", lookalike}, "steps: no temporary file left");
}

void test_disk_full(const std::string& full) {
    if (full.empty()) {
        skip("disk full", "no --full folder given");
        return;
    }
    std::string target = join(full, "book.d7ori");
    write_raw(target, "old");
    std::string text = lines('x', 1000, 4000);  // far more than the few KiB free
    auto r = replace(target, text);
    check(r.outcome == pf::Outcome::Failed && r.err == ENOSPC, "disk full: " + describe(r));
    check(content(target) == "old", "disk full: old content kept");
    expect_names(full, {"book.d7ori"}, "disk full: no temporary file left");
    remove_file(target);
}

void test_kills(const std::string& work, int kills, std::mt19937& rng) {
    const std::string a = on_disk(kTextA), b = on_disk(kTextB);
    struct Mode {
        const char* name;
        bool safe;
    } modes[] = {{"writer", true}, {"inplace", false}};
    int torn_by_mode[2] = {0, 0};
    int temps_by_mode[2] = {0, 0};
    int uncleared = 0;
    std::uniform_int_distribution<int> delay_us(0, 40000);
    for (int m = 0; m < 2; ++m) {
        std::string dir = join(work, std::string("kill-") + modes[m].name);
        make_dir(dir);
        std::string target = join(dir, "book.d7ori");
        for (int k = 0; k < kills; ++k) {
            write_raw(target, a);
            remove_file(target + ".ready");
            Child child = spawn_writer(modes[m].name, target);
            std::string ignored;
            auto started = std::chrono::steady_clock::now();
            while (!read_file(target + ".ready", &ignored)) {
                if (!child_alive(child) || std::chrono::steady_clock::now() - started > std::chrono::seconds(60)) {
                    check(false, std::string("kill test: child ") + modes[m].name + " did not start");
                    kill_child(child);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
            kill_child(child);
            std::string now = content(target);
            if (now != a && now != b) {
                ++torn_by_mode[m];
                if (std::getenv("R7U_DRIVER_VERBOSE")) {
                    std::printf("torn: %zu bytes, starts %.8s\n", now.size(), now.c_str());
                }
            }
            for (const auto& n : list_dir(dir)) temps_by_mode[m] += is_temp_name(n);
            // A killed save's temporary file is no longer held: the next
            // clean-up removes it.
            PathString d = native(dir);
            pf::clear_stale_temps(d.data(), d.size());
            remove_file(target + ".ready");
            uncleared += names_in(dir) != std::set<std::string>{"book.d7ori"};
        }
    }
    std::printf("kill test: crash-safe writer: %d of %d kills left a torn file (%d left a temporary file)\n",
                torn_by_mode[0], kills, temps_by_mode[0]);
    std::printf("kill test: in-place control:  %d of %d kills left a torn file\n", torn_by_mode[1], kills);
    check(torn_by_mode[0] == 0, "kill test: the crash-safe writer always leaves the target whole");
    check(uncleared == 0, "kill test: a clean-up removes what killed saves left, and nothing else");
    check(torn_by_mode[1] > 0, "kill test: the negative control catches the in-place writer");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
#ifdef _WIN32
        child_main(argv[2], argv[3]);
#else
        return 2;
#endif
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORKDIR [--kills N] [--seed S] [--full DIR]\n", argv[0]);
        return 2;
    }
    std::string work = argv[1];
    int kills = 20;
    unsigned seed = static_cast<unsigned>(std::random_device{}());
    std::string full;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--kills") == 0) kills = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (std::strcmp(argv[i], "--full") == 0) full = argv[i + 1];
    }
    std::printf("platform driver: seed %u\n", seed);
    g_start = current_dir();
    std::mt19937 rng(seed);
    test_new_file(work);
    test_replacement(work);
    test_access_rules(work);
    test_line_ends(work);
    test_locked(work);
    test_in_place_cases(work);
    test_steps(work);
    test_disk_full(full);
    if (kills > 0) test_kills(work, kills, rng);
    std::printf("%s: %d failure(s)\n", g_failures ? "FAILED" : "passed", g_failures);
    return g_failures ? 1 : 0;
}
