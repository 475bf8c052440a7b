// The kernel part of the platform layer: named mutexes, events, threads and
// their handles, critical sections, the module path, text conversion and debug
// output. None of these needs an X display.
#include <windows.h>

#include "../../platform/kernel/debug_output.h"
#include "../../platform/kernel/login_session.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls pred until it holds or the timeout passes; returns its last value.
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 10s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A mutex name no other test process uses.
std::wstring unique_name(const std::wstring& tag)
{
    return L"vistamo-kernel-test-" + std::to_wstring(::getpid()) + L"-" + tag;
}

// Creates a mutex and reports the handle and the error it left.
struct created {
    HANDLE handle;
    DWORD error;
};
created create_mutex(const std::wstring& name)
{
    SetLastError(0xDEAD);
    HANDLE h = CreateMutexW(nullptr, FALSE, name.c_str());
    return {h, GetLastError()};
}

// A gate a thread procedure waits at until the test opens it.
struct gate {
    std::mutex lock;
    std::condition_variable cv;
    bool open = false;

    void release()
    {
        {
            std::lock_guard<std::mutex> l(lock);
            open = true;
        }
        cv.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> l(lock);
        cv.wait(l, [&] { return open; });
    }
};

}  // namespace

// Named mutexes ------------------------------------------------------------

TEST(NamedMutex, SecondCreateInTheSameProcessReportsAlreadyExists)
{
    std::wstring name = unique_name(L"twice");
    created first = create_mutex(name);
    ASSERT_NE(first.handle, nullptr);
    EXPECT_EQ(first.error, static_cast<DWORD>(ERROR_SUCCESS));

    created second = create_mutex(name);
    ASSERT_NE(second.handle, nullptr) << "an existing name still gives a handle";
    EXPECT_EQ(second.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(second.handle, first.handle);

    EXPECT_TRUE(CloseHandle(second.handle));
    EXPECT_TRUE(CloseHandle(first.handle));
}

TEST(NamedMutex, DifferentNamesAreIndependent)
{
    created a = create_mutex(unique_name(L"alpha"));
    created b = create_mutex(unique_name(L"beta"));
    ASSERT_NE(a.handle, nullptr);
    ASSERT_NE(b.handle, nullptr);
    EXPECT_EQ(a.error, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(b.error, static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(a.handle);
    CloseHandle(b.handle);
}

TEST(NamedMutex, NameIsFreeAgainAfterEveryHandleIsClosed)
{
    std::wstring name = unique_name(L"free-again");
    created first = create_mutex(name);
    created second = create_mutex(name);
    ASSERT_NE(first.handle, nullptr);
    ASSERT_NE(second.handle, nullptr);
    EXPECT_TRUE(CloseHandle(second.handle));
    EXPECT_TRUE(CloseHandle(first.handle));

    created again = create_mutex(name);
    ASSERT_NE(again.handle, nullptr);
    EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(again.handle);
}

TEST(NamedMutex, NameStaysTakenWhileAnyHandleIsOpen)
{
    // The creator's handle goes first; the handle opened on the existing
    // name still keeps the object, and so the name, alive.
    std::wstring name = unique_name(L"any-handle");
    created creator = create_mutex(name);
    created opener = create_mutex(name);
    ASSERT_NE(creator.handle, nullptr);
    ASSERT_NE(opener.handle, nullptr);
    ASSERT_EQ(opener.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(creator.handle));

    created third = create_mutex(name);
    ASSERT_NE(third.handle, nullptr);
    EXPECT_EQ(third.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS))
        << "the name was released although a handle to it is still open";
    CloseHandle(third.handle);
    CloseHandle(opener.handle);
}

TEST(NamedMutex, NameHeldByAnotherProcessIsReleasedWhenThatProcessIsKilled)
{
    std::wstring name = unique_name(L"other-process");
    int ready[2], hold[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(hold), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(ready[0]);
        HANDLE h = CreateMutexW(nullptr, TRUE, name.c_str());
        char c = (h && GetLastError() == ERROR_SUCCESS) ? 'y' : 'n';
        if (::write(ready[1], &c, 1) != 1)
            ::_exit(2);
        // Holds the name until the test kills this process.
        ::read(hold[0], &c, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y') << "the child could not create the mutex";

    created seen = create_mutex(name);
    ASSERT_NE(seen.handle, nullptr);
    EXPECT_EQ(seen.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS))
        << "a name created in another process of the session must be seen here";
    CloseHandle(seen.handle);

    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(ready[0]);
    ::close(hold[1]);

    HANDLE mine = nullptr;
    bool free_again = wait_until([&] {
        created now = create_mutex(name);
        if (now.handle && now.error == ERROR_SUCCESS) {
            mine = now.handle;
            return true;
        }
        if (now.handle)
            CloseHandle(now.handle);
        return false;
    });
    EXPECT_TRUE(free_again) << "the killed process's name was never released";
    if (mine)
        CloseHandle(mine);
}

TEST(MutexNames, OddNamesWorkAndStayDistinct)
{
    const std::wstring base = unique_name(L"");
    const std::wstring long_a = base + std::wstring(250, L'a');
    const std::wstring long_b = base + std::wstring(249, L'a') + L"b";
    const std::wstring long_c = base + L"b" + std::wstring(249, L'a');
    const std::wstring names[] = {
        long_a,
        long_b,
        long_c,
        base + L"关于 Tessaly(&A)...",
        base + L"关于 Tessaly(&B)...",
        base + L"\U0001F3A5 capture",
        base + L"with/slashes/inside",
        base + L"with\\back\\slashes",
        base + L"with",  // a prefix of the slashed names
        base + L"/",
    };
    std::vector<HANDLE> handles;
    for (const auto& n : names) {
        created c = create_mutex(n);
        ASSERT_NE(c.handle, nullptr) << "name of " << n.size() << " characters";
        EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_SUCCESS))
            << "name of " << n.size() << " characters collides with an earlier one";
        handles.push_back(c.handle);
    }
    // Each name is really taken, by exactly that name.
    for (const auto& n : names) {
        created c = create_mutex(n);
        ASSERT_NE(c.handle, nullptr);
        EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "name of " << n.size() << " characters";
        CloseHandle(c.handle);
    }
    for (HANDLE h : handles)
        EXPECT_TRUE(CloseHandle(h));
}

namespace {

// Binds name in the abstract socket namespace, which every local user
// shares, the way the lock of a named mutex was once taken there; -1 if
// that fails.
int bind_abstract(const std::string& name)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    name.copy(addr.sun_path + 1, sizeof addr.sun_path - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string login_session()
{
    std::ifstream in("/proc/self/sessionid");
    std::string id;
    if (!(in >> id) || id == "4294967295")
        return "none";
    return id;
}

size_t entries_in(const std::string& dir)
{
    size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ++n;
        ::closedir(d);
    }
    return n;
}

// Sets XDG_RUNTIME_DIR (or removes it, for null) and puts it back when done.
class runtime_dir_setting {
public:
    explicit runtime_dir_setting(const char* value)
    {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR")) {
            m_had = true;
            m_old = old;
        }
        if (value)
            ::setenv("XDG_RUNTIME_DIR", value, 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    ~runtime_dir_setting()
    {
        if (m_had)
            ::setenv("XDG_RUNTIME_DIR", m_old.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }
    runtime_dir_setting(const runtime_dir_setting&) = delete;
    runtime_dir_setting& operator=(const runtime_dir_setting&) = delete;

private:
    bool m_had = false;
    std::string m_old;
};

}  // namespace

TEST(NamedMutex, NameTakenByAnyoneInTheSharedSocketNamespaceDoesNotCount)
{
    // Any local user can bind an abstract socket of any name: such a name
    // must not make the viewer believe another instance runs.
    std::wstring name = unique_name(L"squatted");
    std::string narrow(name.begin(), name.end());
    int squatter = bind_abstract("vistamo-mutex/" + std::to_string(::getuid()) + "/" + login_session() + "/" + narrow);
    ASSERT_GE(squatter, 0) << std::strerror(errno);

    created c = create_mutex(name);
    ASSERT_NE(c.handle, nullptr);
    EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(c.handle);
    ::close(squatter);
}

TEST(NamedMutex, LockIsKeptInTheRuntimeDirectoryOnlyWhenNoOneElseCanWriteThere)
{
    // Wherever the lock goes, the name works; only a private directory of
    // this user holds it, and only in a file of this user's. Anything else
    // under the lock file's name leaves the lock to the socket namespace.
    enum kind { directory, others_directory, regular_file, missing, relative };
    enum squatter { none, symlink, fifo, subdirectory, socket_file, others_file };
    struct {
        const char* what;
        kind type;
        mode_t mode;
        bool used;
        squatter under_name;
    } const cases[] = {
        {"private directory", directory, 0700, true, none},
        {"group-writable directory", directory, 0770, false, none},
        {"directory others can write", directory, 0703, false, none},
        {"another user's private directory", others_directory, 0700, false, none},
        {"regular file", regular_file, 0600, false, none},
        {"missing directory", missing, 0, false, none},
        {"relative path to a private directory", relative, 0700, false, none},
        {"symbolic link under the name", directory, 0700, false, symlink},
        {"FIFO under the name", directory, 0700, false, fifo},
        {"directory under the name", directory, 0700, false, subdirectory},
        {"socket under the name", directory, 0700, false, socket_file},
        {"another user's file under the name", directory, 0700, false, others_file},
    };
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    int i = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char base_template[] = "/tmp/vistamo-runtime.XXXXXX";
        ASSERT_NE(::mkdtemp(base_template), nullptr);
        const std::string base = base_template;
        const std::string dir = base + "/rt";
        if (c.type == directory || c.type == relative || c.type == others_directory) {
            ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
            ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
            if (c.type == others_directory && ::chown(dir.c_str(), ::geteuid() + 1, ::getegid()) != 0) {
                ASSERT_EQ(std::system(("rm -rf '" + base + "'").c_str()), 0);
                continue;  // only root can make one
            }
        } else if (c.type == regular_file) {
            int fd = ::open(dir.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, c.mode);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
        if (c.type == relative) {
            ASSERT_EQ(::chdir(base.c_str()), 0);
        }
        const std::wstring name = unique_name(L"runtime-" + std::to_wstring(i++));
        const std::string narrow(name.begin(), name.end());
        const std::string lock_file = dir + "/vistamo-mutex." + login_session() + "." + narrow;
        int held_socket = -1;
        switch (c.under_name) {
        case none:
            break;
        case symlink:
            ASSERT_EQ(::symlink((base + "/elsewhere").c_str(), lock_file.c_str()), 0);
            break;
        case fifo:
            ASSERT_EQ(::mkfifo(lock_file.c_str(), 0600), 0);
            break;
        case subdirectory:
            ASSERT_EQ(::mkdir(lock_file.c_str(), 0700), 0);
            break;
        case socket_file: {
            held_socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            lock_file.copy(addr.sun_path, sizeof addr.sun_path - 1);
            ASSERT_EQ(::bind(held_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
            break;
        }
        case others_file: {
            int fd = ::open(lock_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0);
            ::close(fd);
            if (::chown(lock_file.c_str(), ::geteuid() + 1, ::getegid()) != 0) {
                ASSERT_EQ(std::system(("rm -rf '" + base + "'").c_str()), 0);
                continue;  // only root can make one
            }
            break;
        }
        }
        {
            runtime_dir_setting env(c.type == relative ? "rt" : dir.c_str());
            created first = create_mutex(name);
            created second = create_mutex(name);
            ASSERT_NE(first.handle, nullptr);
            ASSERT_NE(second.handle, nullptr);
            EXPECT_EQ(first.error, static_cast<DWORD>(ERROR_SUCCESS));
            EXPECT_EQ(second.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
            const int probe = bind_abstract("vistamo-mutex/" + std::to_string(::getuid()) + "/" + login_session() +
                                            "/" + narrow);
            EXPECT_EQ(probe < 0, !c.used) << "whether the lock is in the socket namespace";
            if (probe >= 0)
                ::close(probe);
            if (c.under_name == none && c.type != regular_file && c.type != missing) {
                EXPECT_EQ(entries_in(dir) > 0, c.used) << entries_in(dir) << " entries in the directory";
            }
            CloseHandle(second.handle);
            CloseHandle(first.handle);
        }
        if (held_socket >= 0)
            ::close(held_socket);
        ASSERT_EQ(::chdir(cwd), 0);
        ASSERT_EQ(std::system(("rm -rf '" + base + "'").c_str()), 0);
    }
}

TEST(NamedMutex, EachLoginSessionOfTheUserHasTheNameToItself)
{
    // Two logins of one user each run one instance, wherever the lock is
    // kept: in a private runtime directory or in the socket namespace.
    char dir[] = "/tmp/vistamo-runtime.XXXXXX";  // made 0700
    ASSERT_NE(::mkdtemp(dir), nullptr);
    for (const char* runtime_dir : {static_cast<const char*>(dir), static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(runtime_dir ? "runtime directory" : "socket namespace");
        runtime_dir_setting env(runtime_dir);
        const std::wstring name = unique_name(runtime_dir ? L"sessions-file" : L"sessions-socket");
        auto in_session = [&](const char* session) {
            login_session_id_set_for_tests(session);
            created c = create_mutex(name);
            login_session_id_set_for_tests("");
            return c;
        };
        created first = in_session("9001");
        created other = in_session("9002");
        created again = in_session("9001");
        ASSERT_NE(first.handle, nullptr);
        ASSERT_NE(other.handle, nullptr);
        ASSERT_NE(again.handle, nullptr);
        EXPECT_EQ(first.error, static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(other.error, static_cast<DWORD>(ERROR_SUCCESS)) << "another login of the user was refused";
        EXPECT_EQ(again.error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a second instance in one login";
        CloseHandle(again.handle);
        CloseHandle(other.handle);
        CloseHandle(first.handle);
    }
    EXPECT_EQ(std::system(("rm -rf '" + std::string(dir) + "'").c_str()), 0);
}

TEST(MutexNames, UnnamedMutexesNeverCollide)
{
    SetLastError(0xDEAD);
    HANDLE a = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    SetLastError(0xDEAD);
    HANDLE b = CreateMutexW(nullptr, FALSE, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_TRUE(CloseHandle(b));
}

// Threads --------------------------------------------------------------------

namespace {

struct thread_probe {
    int parameter_value = 0;
    std::atomic<DWORD> seen_thread_id{0};
    std::atomic<int> seen_value{0};
    std::atomic<bool> finished{false};
    gate go;
    bool wait_for_gate = false;
    DWORD result = 0;
};

DWORD WINAPI probe_thread(LPVOID parameter)
{
    auto* p = static_cast<thread_probe*>(parameter);
    p->seen_thread_id = GetCurrentThreadId();
    p->seen_value = p->parameter_value;
    if (p->wait_for_gate)
        p->go.wait();
    const DWORD result = p->result;
    p->finished = true;  // the probe may be freed from here on
    return result;
}

}  // namespace

TEST(Threads, ProcedureRunsWithItsParameterOnTheReportedThread)
{
    thread_probe p;
    p.parameter_value = 4711;
    p.result = 1234;
    DWORD tid = 0;
    HANDLE h = CreateThread(nullptr, 0, probe_thread, &p, 0, &tid);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(tid, 0u);
    EXPECT_NE(tid, GetCurrentThreadId());

    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(p.finished);
    EXPECT_EQ(p.seen_value, 4711);
    EXPECT_EQ(p.seen_thread_id.load(), tid) << "the id CreateThread reports is the thread's own";

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 1234u);
    // A finished thread stays signalled.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(Threads, WaitTimesOutWhileTheThreadRuns)
{
    thread_probe p;
    p.wait_for_gate = true;
    p.result = 77;
    HANDLE h = CreateThread(nullptr, 0, probe_thread, &p, 0, nullptr);
    ASSERT_NE(h, nullptr);

    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(h, 50), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);

    p.go.release();
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 77u);
    CloseHandle(h);
}

TEST(Threads, InfiniteWaitReturnsWhenTheThreadEnds)
{
    thread_probe p;
    p.wait_for_gate = true;
    p.result = 5;
    HANDLE h = CreateThread(nullptr, 0, probe_thread, &p, 0, nullptr);
    ASSERT_NE(h, nullptr);
    std::thread opener([&] {
        ASSERT_TRUE(wait_until([&] { return p.seen_thread_id.load() != 0; }));
        p.go.release();
    });
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    opener.join();
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 5u);
    CloseHandle(h);
}

TEST(Threads, ClosingTheHandleAtOnceDoesNotStopTheThread)
{
    auto* p = new thread_probe();  // outlives the test if the thread hangs
    p->wait_for_gate = true;
    HANDLE h = CreateThread(nullptr, 0, probe_thread, p, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(CloseHandle(h));
    p->go.release();
    EXPECT_TRUE(wait_until([&] { return p->finished.load(); })) << "the thread did not run to its end";
    // The handle is gone, the thread's own reference is not a handle.
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    if (p->finished)
        delete p;
}

TEST(Threads, ManyThreadsEachSignalTheirOwnHandle)
{
    constexpr int kThreads = 8;
    thread_probe probes[kThreads];
    HANDLE handles[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        probes[i].wait_for_gate = true;
        probes[i].result = static_cast<DWORD>(100 + i);
        handles[i] = CreateThread(nullptr, 0, probe_thread, &probes[i], 0, nullptr);
        ASSERT_NE(handles[i], nullptr);
    }
    // Ending the odd ones leaves the even ones waiting.
    for (int i = 1; i < kThreads; i += 2)
        probes[i].go.release();
    for (int i = 1; i < kThreads; i += 2)
        EXPECT_EQ(WaitForSingleObject(handles[i], 10000), WAIT_OBJECT_0);
    for (int i = 0; i < kThreads; i += 2)
        EXPECT_EQ(WaitForSingleObject(handles[i], 0), WAIT_TIMEOUT);
    for (int i = 0; i < kThreads; i += 2)
        probes[i].go.release();
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(WaitForSingleObject(handles[i], 10000), WAIT_OBJECT_0);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(handles[i], &code));
        EXPECT_EQ(code, static_cast<DWORD>(100 + i));
        EXPECT_TRUE(CloseHandle(handles[i]));
    }
}

TEST(Threads, CurrentThreadIdDiffersBetweenThreadsAndIsStable)
{
    DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD other = 0;
    std::thread t([&] { other = GetCurrentThreadId(); });
    t.join();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

// Events -----------------------------------------------------------------------

TEST(Events, ResetModeAndInitialStateDecideWhatWaitsSee)
{
    // Each wait is for 0 ms, except the first on an unset event, which
    // shows a timed wait ending in WAIT_TIMEOUT.
    struct row {
        BOOL manual, initial;
        DWORD first, second;          // two waits as created
        DWORD after_set, then;        // two waits after SetEvent
        DWORD after_reset;            // SetEvent, ResetEvent, a wait
    };
    const row rows[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_OBJECT_0, WAIT_TIMEOUT},
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT, WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "manual " << r.manual << ", initially set " << r.initial);
        SetLastError(0xDEAD);
        HANDLE h = CreateEventW(nullptr, r.manual, r.initial, nullptr);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(WaitForSingleObject(h, r.initial ? 0 : 20), r.first);
        EXPECT_EQ(WaitForSingleObject(h, 0), r.second);
        EXPECT_TRUE(SetEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), r.after_set);
        EXPECT_EQ(WaitForSingleObject(h, 0), r.then);
        EXPECT_TRUE(SetEvent(h));
        EXPECT_TRUE(ResetEvent(h));
        EXPECT_EQ(WaitForSingleObject(h, 0), r.after_reset);
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST(Events, SetEventOnAnotherThreadWakesAWaiter)
{
    for (BOOL manual : {TRUE, FALSE}) {
        SCOPED_TRACE(testing::Message() << "manual " << manual);
        HANDLE h = CreateEventW(nullptr, manual, FALSE, nullptr);
        ASSERT_NE(h, nullptr);
        std::atomic<bool> waiting{false};
        std::thread setter([&] {
            ASSERT_TRUE(wait_until([&] { return waiting.load(); }));
            EXPECT_TRUE(SetEvent(h));
        });
        waiting = true;
        EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
        setter.join();
        // The wait took an auto-reset event's signal; a manual one keeps it.
        EXPECT_EQ(WaitForSingleObject(h, 0), manual ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST(Events, ClosedNamedOrOtherHandlesFail)
{
    HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(closed, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(mutex, nullptr);
    for (HANDLE h : {closed, mutex, reinterpret_cast<HANDLE>(0x1234), static_cast<HANDLE>(nullptr)}) {
        SCOPED_TRACE(h);
        SetLastError(0);
        EXPECT_FALSE(SetEvent(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(0);
        EXPECT_FALSE(ResetEvent(h));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(closed, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CloseHandle(mutex));

    // Named events would be shared with other processes: refused.
    SetLastError(0);
    EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, unique_name(L"event").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    // An empty name is no name.
    HANDLE unnamed = CreateEventW(nullptr, TRUE, FALSE, L"");
    ASSERT_NE(unnamed, nullptr);
    EXPECT_TRUE(CloseHandle(unnamed));
}

// Handles ----------------------------------------------------------------------

TEST(Handles, ClosingTwiceFailsWithInvalidHandle)
{
    HANDLE h = CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Handles, MadeUpHandlesFailWithoutTouchingMemory)
{
    int on_stack = 0;
    const HANDLE garbage[] = {
        reinterpret_cast<HANDLE>(0x1234),
        reinterpret_cast<HANDLE>(0xdeadbeef),
        reinterpret_cast<HANDLE>(&on_stack),
        nullptr,
    };
    for (HANDLE h : garbage) {
        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;

        SetLastError(0);
        EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_FAILED) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;

        SetLastError(0);
        DWORD code = 12345;
        EXPECT_FALSE(GetExitCodeThread(h, &code)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;

        SetLastError(0);
        EXPECT_FALSE(ReleaseMutex(h)) << h;

        SetLastError(0);
        EXPECT_FALSE(CloseHandle(h)) << h;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << h;
    }
}

TEST(Handles, ClosedThreadHandleFailsCleanly)
{
    thread_probe p;
    HANDLE h = CreateThread(nullptr, 0, probe_thread, &p, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(h));

    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(h, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Handles, LastErrorIsKeptPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen_in_other = 1;
    std::thread t([&] {
        seen_in_other = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    t.join();
    EXPECT_EQ(seen_in_other, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// Critical sections ---------------------------------------------------------------

TEST(CriticalSection, IsRecursiveAndExcludesOtherThreadsUntilFullyLeft)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);

    // Another thread can take the lock only while nobody holds it.
    auto free_for_others = [&] {
        int r = -1;
        std::thread t([&] {
            r = pthread_mutex_trylock(&cs.mutex);
            if (r == 0)
                pthread_mutex_unlock(&cs.mutex);
        });
        t.join();
        return r == 0;
    };

    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);  // the owner enters again without blocking
    EXPECT_FALSE(free_for_others());
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(free_for_others()) << "one Leave per Enter is needed";
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(free_for_others());
    DeleteCriticalSection(&cs);
}

TEST(CriticalSection, SerialisesThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    long counter = 0;  // guarded by cs
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                EnterCriticalSection(&cs);
                EnterCriticalSection(&cs);
                long v = counter;
                counter = v + 1;
                LeaveCriticalSection(&cs);
                LeaveCriticalSection(&cs);
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 4 * 20000);
    DeleteCriticalSection(&cs);
}

// The module path ---------------------------------------------------------------

namespace {

std::string full_module_path()
{
    char buf[4096];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
}

}  // namespace

TEST(ModulePath, IsThisTestBinarysAbsolutePath)
{
    char buf[MAX_PATH];
    SetLastError(0xDEAD);
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof buf);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::strlen(buf), n);
    EXPECT_EQ(buf[0], '/');
    std::string path(buf);
    EXPECT_EQ(path.substr(path.rfind('/') + 1), "test_kernel");

    struct stat named{}, running{};
    ASSERT_EQ(::stat(buf, &named), 0) << path;
    ASSERT_EQ(::stat("/proc/self/exe", &running), 0);
    EXPECT_EQ(named.st_dev, running.st_dev);
    EXPECT_EQ(named.st_ino, running.st_ino) << path << " is not the running program";

    // The module handle does not matter: there is one module.
    char again[MAX_PATH];
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleW(nullptr), again, sizeof again), n);
    EXPECT_STREQ(again, buf);
}

TEST(ModulePath, TruncatesLikeWin32WhenTheBufferIsShort)
{
    const std::string full = full_module_path();
    ASSERT_GT(full.size(), 6u);

    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buf, 5), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buf), full.substr(0, 4));
    EXPECT_EQ(buf[5], 'x') << "wrote past the size it was given";

    // One byte short of the zero: cut by one character.
    std::vector<char> exact(full.size() + 8, 'x');
    const DWORD len = static_cast<DWORD>(full.size());
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, exact.data(), len), len);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(exact.data()), full.substr(0, full.size() - 1));
    EXPECT_EQ(exact[len], 'x');

    // Room for the zero too: the whole path.
    SetLastError(0xDEAD);
    EXPECT_EQ(GetModuleFileNameA(nullptr, exact.data(), len + 1), len);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::string(exact.data()), full);

    // A one-byte buffer holds only the zero.
    char one = 'x';
    EXPECT_EQ(GetModuleFileNameA(nullptr, &one, 1), 1u);
    EXPECT_EQ(one, '\0');
}

// Text conversion ---------------------------------------------------------------

namespace {

std::string to_utf8(const std::wstring& wide, UINT cp = CP_UTF8)
{
    int n = WideCharToMultiByte(cp, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return "<error>";
    std::string out(static_cast<size_t>(n), '\x7f');
    int written = WideCharToMultiByte(cp, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr);
    if (written != n || out.back() != '\0')
        return "<mismatch>";
    out.pop_back();
    return out;
}

std::wstring to_wide(const std::string& narrow, UINT cp = CP_UTF8)
{
    int n = MultiByteToWideChar(cp, 0, narrow.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return L"<error>";
    std::wstring out(static_cast<size_t>(n), L'\x7f');
    int written = MultiByteToWideChar(cp, 0, narrow.c_str(), -1, out.data(), n);
    if (written != n || out.back() != L'\0')
        return L"<mismatch>";
    out.pop_back();
    return out;
}

const wchar_t kAbout[] = L"关于 Tessaly(&A)...";
const char kAboutUtf8[] = "\xE5\x85\xB3\xE4\xBA\x8E Tessaly(&A)...";

}  // namespace

TEST(TextConversion, AsciiRoundTrips)
{
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"hello", -1, nullptr, 0, nullptr, nullptr), 6)
        << "the size asked for with -1 counts the terminating zero";
    EXPECT_EQ(to_utf8(L"hello"), "hello");
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "hello", -1, nullptr, 0), 6);
    EXPECT_EQ(to_wide("hello"), L"hello");
    EXPECT_EQ(to_wide(to_utf8(L"Vistamo v2.1.9")), L"Vistamo v2.1.9");
}

TEST(TextConversion, ChineseTextRoundTrips)
{
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kAbout, -1, nullptr, 0, nullptr, nullptr),
              static_cast<int>(sizeof kAboutUtf8));
    EXPECT_EQ(to_utf8(kAbout), kAboutUtf8);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kAboutUtf8, -1, nullptr, 0), static_cast<int>(wcslen(kAbout) + 1));
    EXPECT_EQ(to_wide(kAboutUtf8), kAbout);
    // The ANSI code page of this platform is UTF-8.
    EXPECT_EQ(to_utf8(kAbout, CP_ACP), kAboutUtf8);
    EXPECT_EQ(to_wide(kAboutUtf8, CP_ACP), kAbout);
}

TEST(TextConversion, CharactersAboveTheBasicPlaneRoundTrip)
{
    // One wide unit each (wide strings are UTF-32 here), four bytes each in UTF-8.
    const std::wstring wide = L"a\U0001F3A5b\U0010FFFF";
    ASSERT_EQ(wide.size(), 4u);
    const std::string utf8 = "a\xF0\x9F\x8E\xA5"
                             "b\xF4\x8F\xBF\xBF";
    EXPECT_EQ(to_utf8(wide), utf8);
    EXPECT_EQ(to_wide(utf8), wide);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0), 4);
}

TEST(TextConversion, ExplicitLengthsReportSizesWithoutTheZero)
{
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kAbout, 2, nullptr, 0, nullptr, nullptr), 6);
    char narrow[16];
    std::memset(narrow, 'x', sizeof narrow);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kAbout, 2, narrow, sizeof narrow, nullptr, nullptr), 6);
    EXPECT_EQ(std::string(narrow, 6), std::string(kAboutUtf8, 6));
    EXPECT_EQ(narrow[6], 'x') << "an explicit length writes no terminating zero";

    wchar_t wide[16];
    std::fill(std::begin(wide), std::end(wide), L'x');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kAboutUtf8, 6, nullptr, 0), 2);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kAboutUtf8, 6, wide, 16), 2);
    EXPECT_EQ(std::wstring(wide, 2), std::wstring(kAbout, 2));
    EXPECT_EQ(wide[2], L'x');
}

TEST(TextConversion, TooSmallOutputFailsWithInsufficientBuffer)
{
    char narrow[4];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kAbout, -1, narrow, sizeof narrow, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    wchar_t wide[4];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, kAboutUtf8, -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(TextConversion, MalformedUtf8BecomesReplacementCharacters)
{
    EXPECT_EQ(to_wide("a\xFF"
                      "b"),
              L"a\xFFFD"
              L"b");
    EXPECT_EQ(to_wide("\x80"), L"\xFFFD");

    // An overlong '/' must not turn into a slash.
    std::wstring overlong = to_wide("x\xC0\xAFy");
    EXPECT_EQ(overlong.find(L'/'), std::wstring::npos);
    EXPECT_NE(overlong.find(L'\xFFFD'), std::wstring::npos);
    EXPECT_EQ(overlong.front(), L'x');
    EXPECT_EQ(overlong.back(), L'y');

    // UTF-16 surrogates encoded as UTF-8 are not characters.
    std::wstring surrogate = to_wide("\xED\xA0\x80");
    ASSERT_FALSE(surrogate.empty());
    for (wchar_t c : surrogate)
        EXPECT_EQ(c, L'\xFFFD');

    // A sequence cut off at the end of the input, explicit length, no zero.
    const char cut[] = {'o', 'k', '\xE4', '\xB8'};
    wchar_t out[8] = {};
    int n = MultiByteToWideChar(CP_UTF8, 0, cut, 4, out, 8);
    ASSERT_GE(n, 3);
    EXPECT_EQ(out[0], L'o');
    EXPECT_EQ(out[1], L'k');
    for (int i = 2; i < n; ++i)
        EXPECT_EQ(out[i], L'\xFFFD');

    // Whatever comes in, what comes out are valid characters.
    std::string noise;
    for (int i = 0; i < 512; ++i)
        noise += static_cast<char>((i * 73 + 41) & 0xFF);
    std::wstring decoded = to_wide(noise.c_str());
    for (wchar_t c : decoded) {
        EXPECT_FALSE(c >= 0xD800 && c <= 0xDFFF);
        EXPECT_LE(static_cast<uint32_t>(c), 0x10FFFFu);
    }
}

TEST(TextConversion, InvalidWideCharactersBecomeReplacementCharacters)
{
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    EXPECT_EQ(to_utf8(lone), "a\xEF\xBF\xBD"
                             "b");
    const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ(to_utf8(beyond), "\xEF\xBF\xBD");
}

TEST(TextConversion, BadArgumentsFailWithInvalidParameter)
{
    char narrow[8];
    wchar_t wide[8];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, narrow, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -1, wide, 8), 0) << "only UTF-8 is known";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Debug output -------------------------------------------------------------------

namespace {

// Everything written to standard error while fn runs.
std::string capture_stderr(const std::function<void()>& fn)
{
    std::fflush(stderr);
    char path[] = "/tmp/vistamo-stderr-XXXXXX";
    int file = ::mkstemp(path);
    if (file < 0)
        return "<mkstemp failed>";
    ::unlink(path);
    int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    fn();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string out;
    char buf[4096];
    ::lseek(file, 0, SEEK_SET);
    ssize_t n;
    while ((n = ::read(file, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(file);
    return out;
}

struct sink_record {
    std::mutex lock;
    std::vector<std::string> texts;
    std::vector<DWORD> threads;
};

// Installs a sink for the test's duration.
class DebugOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        debug_output_set_sink([this](const std::string& text) {
            std::lock_guard<std::mutex> l(record.lock);
            record.texts.push_back(text);
            record.threads.push_back(GetCurrentThreadId());
        });
    }
    void TearDown() override { debug_output_set_sink(nullptr); }

    std::vector<std::string> texts()
    {
        std::lock_guard<std::mutex> l(record.lock);
        return record.texts;
    }

    sink_record record;
};

}  // namespace

TEST_F(DebugOutput, GoesToStandardErrorAndToTheSink)
{
    std::string err = capture_stderr([] { OutputDebugStringA("OnPaint error\n"); });
    EXPECT_EQ(err, "OnPaint error\n");
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0], "OnPaint error\n");
}

TEST_F(DebugOutput, KeepsTextAsWrittenIncludingUtf8)
{
    std::string err = capture_stderr([] {
        OutputDebugStringA("no newline");
        OutputDebugStringA(kAboutUtf8);
        OutputDebugStringA("");
    });
    EXPECT_EQ(err, std::string("no newline") + kAboutUtf8);
    auto t = texts();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(t[0], "no newline");
    EXPECT_EQ(t[1], kAboutUtf8);
}

TEST_F(DebugOutput, NullTextIsIgnored)
{
    std::string err = capture_stderr([] { OutputDebugStringA(nullptr); });
    EXPECT_EQ(err, "");
    EXPECT_TRUE(texts().empty());
}

TEST_F(DebugOutput, SinkRunsOnTheWritingThread)
{
    DWORD writer = 0;
    capture_stderr([&] {
        std::thread t([&] {
            writer = GetCurrentThreadId();
            OutputDebugStringA("from a worker\n");
        });
        t.join();
    });
    std::lock_guard<std::mutex> l(record.lock);
    ASSERT_EQ(record.threads.size(), 1u);
    EXPECT_EQ(record.threads[0], writer);
    EXPECT_EQ(record.texts[0], "from a worker\n");
}

TEST_F(DebugOutput, ClearedSinkNoLongerReceivesButStandardErrorStill)
{
    debug_output_set_sink(nullptr);
    std::string err = capture_stderr([] { OutputDebugStringA("after clearing\n"); });
    EXPECT_EQ(err, "after clearing\n");
    EXPECT_TRUE(texts().empty());
}

TEST_F(DebugOutput, SinkMayReplaceItselfWhileItRuns)
{
    std::atomic<int> calls{0};
    debug_output_set_sink([&](const std::string&) {
        ++calls;
        debug_output_set_sink(nullptr);  // takes the layer's lock: must not be held here
    });
    capture_stderr([] {
        OutputDebugStringA("first\n");
        OutputDebugStringA("second\n");
    });
    EXPECT_EQ(calls.load(), 1);
}
