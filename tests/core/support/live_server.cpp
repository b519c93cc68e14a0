#include "support/live_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace halyard_test {
namespace {

int json_int(const std::string& json, const std::string& key) {
    const auto pos = json.find("\"" + key + "\":");
    if (pos == std::string::npos) return 0;
    return std::atoi(json.c_str() + pos + key.size() + 3);
}

std::string json_text(const std::string& json, const std::string& key) {
    const auto pos = json.find("\"" + key + "\": \"");
    if (pos == std::string::npos) return {};
    const auto start = pos + key.size() + 5;
    return json.substr(start, json.find('"', start) - start);
}

// The server group stopped from signal handlers: a test process ended by
// SIGINT, SIGTERM, SIGHUP, SIGQUIT or an abort runs no destructor.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGABRT};
volatile sig_atomic_t guarded_group = 0;
struct sigaction previous_actions[std::size(kStopSignals)];

void stop_group_on_signal(int signum) {
    const pid_t group = guarded_group;
    if (group > 0) killpg(group, SIGTERM);
    // Then what the signal did before: restore and raise it again.
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        if (kStopSignals[i] == signum) sigaction(signum, &previous_actions[i], nullptr);
    raise(signum);
}

void guard_group(pid_t group) {
    static bool installed = false;
    guarded_group = group;
    if (installed || group == 0) return;
    installed = true;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        // An ignored signal (SIGINT in a background job) stays so: it will
        // not end this process.
        sigaction(kStopSignals[i], nullptr, &previous_actions[i]);
        if (previous_actions[i].sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = stop_group_on_signal;
        sigemptyset(&action.sa_mask);
        sigaction(kStopSignals[i], &action, &previous_actions[i]);
    }
}

// Fills `servers` from the script's line; returns the script's own
// temporary folder (tempfile.mkdtemp(prefix="halyard-live-")), empty when
// the CA lies elsewhere.
std::filesystem::path read_line(const std::string& line, LiveServers* servers) {
    servers->http = json_int(line, "http");
    servers->https = json_int(line, "https");
    servers->https_host = json_int(line, "https_host");
    servers->https_old = json_int(line, "https_old");
    servers->proxy = json_int(line, "proxy");
    servers->socks = json_int(line, "socks");
    servers->ws = json_int(line, "ws");
    servers->wss = json_int(line, "wss");
    servers->h3 = json_int(line, "h3");
    const std::string ca_path = json_text(line, "ca");
    std::ifstream ca(ca_path);
    std::stringstream pem;
    pem << ca.rdbuf();
    servers->ca_pem = pem.str();
    const auto folder = std::filesystem::path(ca_path).parent_path();
    return folder.filename().string().starts_with("halyard-live-") ? folder : std::filesystem::path();
}

// The set that a CTest fixture (live_servers_fixture.py) started for the
// whole run: its line, read from the file it wrote.
bool read_shared(const char* state, LiveServers* servers, std::string* why) {
    std::ifstream in(state);
    std::string line;
    if (!std::getline(in, line)) {
        *why = std::string("the live servers' state file ") + state + " cannot be read (did the fixture start them?)";
        return false;
    }
    read_line(line, servers);
    if (servers->http == 0 || servers->ca_pem.empty()) {
        *why = std::string("the live servers' state file ") + state + " names no usable server";
        return false;
    }
    return true;
}

class Process {
public:
    ~Process() { stop(); }

    bool start(std::string* why) {
        const std::string python = HALYARD_TEST_PYTHON;
        const std::string script = std::string(HALYARD_TEST_DIR) + "/live/live_server.py";
        if (python.empty()) {
            *why = "no Python interpreter configured";
            return false;
        }
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            *why = "pipe failed";
            return false;
        }
        char* argv[] = {const_cast<char*>(python.c_str()), const_cast<char*>(script.c_str()), nullptr};
        const pid_t parent = getpid();
        // As in tests/live/servers/die_with_parent.py: the tests of the
        // other lines of defence turn the parent-death signal off.
        const char* no_death_signal = getenv("HALYARD_TEST_NO_DEATH_SIGNAL");
        const bool death_signal = !(no_death_signal && std::string(no_death_signal) == "1");
        // fork, not posix_spawn: the child must ask for a signal when this
        // process dies before it execs.  Only async-signal-safe calls follow
        // in the child (other threads may hold locks).
        const pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            // The second line of defence: deaths that run no handler
            // (SIGKILL, a crash in a handler) still stop the servers.
            if (death_signal) {
                prctl(PR_SET_PDEATHSIG, SIGTERM);
                if (getppid() != parent) _exit(1);
            }
            dup2(in[0], 0);
            dup2(out[1], 1);
            execve(python.c_str(), argv, environ);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        if (pid < 0) {
            close(out[0]);
            *why = "cannot start " + python;
            return false;
        }
        // Both sides set the group, so it exists whichever runs first.
        setpgid(pid, pid);
        pid_ = pid;
        guard_group(pid);
        // The servers print one line once they listen; bounded wait.
        std::string line;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) continue;
            char buf[512];
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        close(out[0]);
        if (line.find('\n') == std::string::npos) {
            *why = "live_server.py did not come up (needs hypercorn and trustme)";
            stop();
            return false;
        }
        files_ = read_line(line, &servers_);
        return servers_.http != 0 && !servers_.ca_pem.empty();
    }

    void stop() {
        if (stdin_ >= 0) close(stdin_);  // the script exits when stdin closes
        stdin_ = -1;
        if (pid_ <= 0) return;
        guard_group(0);
        // The group holds the script and the helpers it starts.
        killpg(pid_, SIGTERM);
        bool exited = false;
        for (int i = 0; i < 100 && !exited; ++i) {
            siginfo_t info{};
            // WNOWAIT: while the leader is an unreaped zombie the group id
            // cannot be reused, so what is left of the group can be killed.
            exited = waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                     info.si_pid == pid_;
            if (!exited) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        killpg(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
        // The certificates the script wrote.
        std::error_code ignored;
        if (!files_.empty()) std::filesystem::remove_all(files_, ignored);
    }

    LiveServers servers_;

private:
    pid_t pid_ = 0;
    int stdin_ = -1;
    std::filesystem::path files_;
};

}  // namespace

const LiveServers* live_servers(std::string* why) {
    static std::once_flag once;
    static Process* process = nullptr;
    static bool ok = false;
    static std::string reason;
    static LiveServers shared;
    std::call_once(once, [] {
        // Under ctest one set serves every test process of the run.
        if (const char* state = getenv("HALYARD_LIVE_SERVERS"); state && *state) {
            ok = read_shared(state, &shared, &reason);
            return;
        }
        static Process p;  // stopped at exit
        process = &p;
        ok = p.start(&reason);
    });
    if (why) *why = reason;
    if (!ok) return nullptr;
    return process ? &process->servers_ : &shared;
}

bool servers_required() {
    const char* ci = getenv("CI");
    return ci && std::string(ci) == "true";
}

std::string http_url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(live_servers()->http) + path;
}

std::string https_url(const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(live_servers()->https) + path;
}

}  // namespace halyard_test
