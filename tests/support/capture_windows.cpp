// capture.h for the Windows build, where there is no fork. capture_run starts
// the test program again for the one test that is running, told through its
// environment which of that test's capture_run calls to run: the child replays
// the test up to there (the earlier calls hand back the results the parent
// already has, from a file), runs that one call's code with its standard output
// and standard error going to two files, and exits. As a forked child shares
// the parent's file system, the child replays the parent's temporary
// directories too: capture_temp_dir names them after the parent's run, the test
// and their order in it, so both sides of a run use the same folders.
// capture_program is CreateProcess with both streams in files and a time limit;
// the program's text-mode streams turn each "\n" into "\r\n", which the capture
// turns back, so its messages compare as written.
#include "support/capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>

static const char CAPTURE_ENV_INDEX[] = "QF_CAPTURE_INDEX";
static const char CAPTURE_ENV_DIR[] = "QF_CAPTURE_DIR";
static const char CAPTURE_ENV_RUN[] = "QF_CAPTURE_RUN";

static std::string capture_current_test()
{
    const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
    return t ? std::string(t->test_suite_name()) + "." + t->name() : std::string();
}

// Names the parent's run: its process id and start time, handed to its children.
static const std::string& capture_run_id()
{
    static std::string id;
    if (id.empty()) {
        const char* env = getenv(CAPTURE_ENV_RUN);
        if (env && *env) {
            id = env;
        } else {
            char buf[48];
            snprintf(buf, sizeof buf, "%lx_%llx", (unsigned long)GetCurrentProcessId(),
                     (unsigned long long)std::chrono::steady_clock::now().time_since_epoch().count());
            id = buf;
        }
    }
    return id;
}

// Where the runs keep their files. Under wine the Linux /tmp is preferred to
// the prefix's own temporary folder: its paths mean the same file to the test
// and to the Linux programs it starts (the Python references), while a
// Windows path would not. Elsewhere the system's temporary folder.
static std::filesystem::path capture_temp_root()
{
    DWORD attr = GetFileAttributesA("/tmp");
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
        return "/tmp";
    return std::filesystem::temp_directory_path();
}

static std::string capture_unique_path(const std::string& prefix)
{
    static std::mt19937_64 rng(GetCurrentProcessId() ^
                               (uint64_t)std::chrono::steady_clock::now().time_since_epoch().count());
    char buf[32];
    snprintf(buf, sizeof buf, "%016llx", (unsigned long long)rng());
    return (capture_temp_root() / (prefix + buf)).generic_string();
}

static std::string capture_read_file(const std::string& path)
{
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

static void capture_write_file(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// The earlier results of a test, as the parent hands them to its child.
static void capture_put_string(std::string* out, const std::string& s)
{
    char len[32];
    snprintf(len, sizeof len, "%zu\n", s.size());
    out->append(len);
    out->append(s);
}

static std::string capture_encode(const std::vector<captured_run>& runs)
{
    std::string out;
    for (const captured_run& r : runs) {
        char head[64];
        snprintf(head, sizeof head, "%d %d\n", r.exited, r.status);
        out.append(head);
        capture_put_string(&out, r.out);
        capture_put_string(&out, r.err);
    }
    return out;
}

static int capture_get_string(const std::string& in, size_t* pos, std::string* s)
{
    size_t nl = in.find('\n', *pos);
    if (nl == std::string::npos)
        return 0;
    size_t len = strtoull(in.c_str() + *pos, nullptr, 10);
    if (len > in.size() - (nl + 1))
        return 0;
    *s = in.substr(nl + 1, len);
    *pos = nl + 1 + len;
    return 1;
}

static std::vector<captured_run> capture_decode(const std::string& in)
{
    std::vector<captured_run> runs;
    size_t pos = 0;
    while (pos < in.size()) {
        captured_run r{};
        size_t nl = in.find('\n', pos);
        if (nl == std::string::npos || sscanf(in.c_str() + pos, "%d %d", &r.exited, &r.status) != 2)
            break;
        pos = nl + 1;
        if (!capture_get_string(in, &pos, &r.out) || !capture_get_string(in, &pos, &r.err))
            break;
        runs.push_back(r);
    }
    return runs;
}

static std::string capture_quote(const std::string& arg)
{
    // The quoting rules of the C runtime's command-line parser.
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            slashes++;
            continue;
        }
        if (c == '"')
            q.append(slashes * 2 + 1, '\\');
        else
            q.append(slashes, '\\');
        slashes = 0;
        q.push_back(c);
    }
    q.append(slashes * 2, '\\');
    q.push_back('"');
    return q;
}

// Starts command_line with both streams in the named files (null: the null
// device) and the extra environment entries, waits up to timeout_ms
// milliseconds and then ends it (exited 0, status SIGKILL's number).
static captured_run capture_spawn(const std::string& command_line, const std::string& cwd,
                                  const std::vector<std::string>& env, const char* out_path, const char* err_path,
                                  int timeout_ms)
{
    captured_run r{};
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE out = CreateFileA(out_path ? out_path : "NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE err = CreateFileA(err_path ? err_path : "NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HANDLE in = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);

    // The parent's environment with the extra entries set over it.
    for (const std::string& e : env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos)
            SetEnvironmentVariableA(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str());
    }
    char* block = GetEnvironmentStringsA();

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    std::vector<char> cmd(command_line.begin(), command_line.end());
    cmd.push_back(0);
    fflush(stdout);
    fflush(stderr);
    // Under wine a start can fail now and then while many programs start at
    // once (the test runs are parallel): a few more tries before giving up.
    BOOL ok = FALSE;
    DWORD error = 0;
    for (int attempt = 0; attempt < 5 && !ok; attempt++) {
        if (attempt > 0)
            Sleep(200u * (DWORD)attempt);
        ok = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, block, cwd.empty() ? nullptr : cwd.c_str(),
                            &si, &pi);
        if (!ok)
            error = GetLastError();
    }
    FreeEnvironmentStringsA(block);
    for (const std::string& e : env) {
        size_t eq = e.find('=');
        if (eq != std::string::npos)
            SetEnvironmentVariableA(e.substr(0, eq).c_str(), nullptr);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!ok) {
        r.exited = 1;
        r.status = 127;
        r.err = "CreateProcess failed five times, last with error " + std::to_string(error) + "\n";
        return r;
    }
    if (WaitForSingleObject(pi.hProcess, (DWORD)timeout_ms) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 9);
        WaitForSingleObject(pi.hProcess, INFINITE);
        r.exited = 0;
        r.status = 9;  // SIGKILL's number, as the Linux build reports a killed child
    } else {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        r.exited = 1;
        r.status = (int)code;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (out_path)
        r.out = capture_read_file(out_path);
    if (err_path)
        r.err = capture_read_file(err_path);
    return r;
}

static std::string capture_text_lines(std::string s)
{
    size_t w = 0;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            s[w++] = s[i];
    s.resize(w);
    return s;
}

captured_run capture_run(const std::function<void()>& fn)
{
    // Results of the running test's earlier calls, in call order.
    static std::string test_name;
    static std::vector<captured_run> done;
    static int child_index = -2;  // -2: not known yet, -1: not a child
    static std::string child_dir;

    if (child_index == -2) {
        const char* idx = getenv(CAPTURE_ENV_INDEX);
        const char* dir = getenv(CAPTURE_ENV_DIR);
        child_index = idx && dir ? atoi(idx) : -1;
        if (child_index >= 0) {
            child_dir = dir;
            done = capture_decode(capture_read_file(child_dir + "/earlier"));
        }
    }

    if (child_index >= 0) {
        static int calls = 0;
        int index = calls++;
        if (index < child_index)
            return index < (int)done.size() ? done[(size_t)index] : captured_run{};
        // This call is the child's: its code runs with both streams in files.
        capture_write_file(child_dir + "/reached", "1");
        fflush(stdout);
        fflush(stderr);
        int out = _open((child_dir + "/out").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        int err = _open((child_dir + "/err").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        _dup2(out, 1);
        _dup2(err, 2);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }

    std::string name = capture_current_test();
    if (name != test_name) {
        test_name = name;
        done.clear();
    }
    std::string dir = capture_unique_path("qf_capture_");
    std::filesystem::create_directory(dir);
    capture_write_file(dir + "/earlier", capture_encode(done));

    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string cmd = capture_quote(self) + " " + capture_quote("--gtest_filter=" + name);
    std::vector<std::string> env = {std::string(CAPTURE_ENV_INDEX) + "=" + std::to_string(done.size()),
                                    std::string(CAPTURE_ENV_DIR) + "=" + dir,
                                    std::string(CAPTURE_ENV_RUN) + "=" + capture_run_id()};
    // What the child prints while it replays the test goes to files of its
    // own, shown when it does not reach its call.
    const std::string replay_out = dir + "/replay_out", replay_err = dir + "/replay_err";
    captured_run child = capture_spawn(cmd, "", env, replay_out.c_str(), replay_err.c_str(), 120 * 1000);

    captured_run r{};
    if (capture_read_file(dir + "/reached") != "1") {
        ADD_FAILURE() << "the child run of " << name << " did not reach its capture_run call " << done.size()
                      << " (exit status " << child.status << ")\n"
                      << capture_text_lines(child.out) << capture_text_lines(child.err);
        r.exited = 0;
        r.status = -1;
    } else {
        r.exited = child.exited;
        r.status = child.status;
        r.out = capture_read_file(dir + "/out");
        r.err = capture_read_file(dir + "/err");
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    done.push_back(r);
    return r;
}

static captured_run capture_program_for(const std::vector<std::string>& argv, const std::string& cwd,
                                        const std::vector<std::string>& env, int timeout_ms)
{
    std::string cmd;
    for (const std::string& a : argv)
        cmd += (cmd.empty() ? "" : " ") + capture_quote(a);
    std::string dir = capture_unique_path("qf_program_");
    std::filesystem::create_directory(dir);
    std::string out = dir + "/out", err = dir + "/err";
    captured_run r = capture_spawn(cmd, cwd, env, out.c_str(), err.c_str(), timeout_ms);
    r.out = capture_text_lines(r.out);
    r.err = capture_text_lines(r.err);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
}

captured_run capture_program(const std::vector<std::string>& argv, const std::string& cwd,
                             const std::vector<std::string>& env, int timeout_s)
{
    return capture_program_for(argv, cwd, env, timeout_s * 1000);
}

// Windows has no signal one program can send another, and headless wine no
// console for a Ctrl-C: a program still running after run_ms milliseconds is
// ended at once (exited 0, status SIGKILL's number) and sig is not sent. Runs
// that end by themselves report their own exit.
captured_run capture_program_signalled(const std::vector<std::string>& argv, const std::string& cwd,
                                       const std::vector<std::string>& env, int run_ms, int sig, int timeout_s)
{
    (void)sig;
    (void)timeout_s;
    return capture_program_for(argv, cwd, env, run_ms);
}

std::vector<std::string> capture_list_dir(const std::string& dir, const std::string& prefix, const std::string& suffix)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
        std::string n = e.path().filename().string();
        if (n.size() >= prefix.size() + suffix.size() && n.compare(0, prefix.size(), prefix) == 0 &&
            n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void capture_remove_dir(const std::string& dir)
{
    std::error_code ec;
    for (const std::string& n : capture_list_dir(dir, "", ""))
        std::filesystem::remove(dir + "/" + n, ec);
    std::filesystem::remove(dir, ec);
}

std::string capture_temp_dir()
{
    // The k-th directory of a test, the same in the parent and in every child
    // that replays the test.
    static std::string test_name;
    static int count = 0;
    std::string name = capture_current_test();
    if (name != test_name) {
        test_name = name;
        count = 0;
    }
    char buf[96];
    snprintf(buf, sizeof buf, "qf_test_%s_%zx_%d", capture_run_id().c_str(), std::hash<std::string>()(name), count++);
    std::string d = (capture_temp_root() / buf).generic_string();
    std::error_code ec;
    std::filesystem::create_directory(d, ec);
    if (!std::filesystem::is_directory(d, ec))
        return capture_temp_root().generic_string();
    // The parent's directories go when it ends; a child replaying the test
    // uses them and leaves them.
    static std::vector<std::string>* dirs;
    if (!dirs && !getenv(CAPTURE_ENV_INDEX)) {
        dirs = new std::vector<std::string>;
        atexit([] {
            std::error_code e;
            for (const std::string& dir : *dirs)
                std::filesystem::remove_all(dir, e);
        });
    }
    if (dirs)
        dirs->push_back(d);
    return d;
}
