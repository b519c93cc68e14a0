#include "support/live_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
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

class Process {
public:
    ~Process() { stop(); }

    bool start(std::string* why) {
        const std::string python = HALYARD_TEST_PYTHON;
        const std::string script = std::string(HALYARD_TEST_DIR) + "/live_server.py";
        if (python.empty()) {
            *why = "no Python interpreter configured";
            return false;
        }
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            *why = "pipe failed";
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        char* argv[] = {const_cast<char*>(python.c_str()), const_cast<char*>(script.c_str()), nullptr};
        const int rc = posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        if (rc != 0) {
            close(out[0]);
            pid_ = 0;
            *why = "cannot start " + python;
            return false;
        }
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
        servers_.http = json_int(line, "http");
        servers_.https = json_int(line, "https");
        servers_.https_host = json_int(line, "https_host");
        servers_.https_old = json_int(line, "https_old");
        servers_.proxy = json_int(line, "proxy");
        servers_.socks = json_int(line, "socks");
        servers_.ws = json_int(line, "ws");
        servers_.wss = json_int(line, "wss");
        std::ifstream ca(json_text(line, "ca"));
        std::stringstream pem;
        pem << ca.rdbuf();
        servers_.ca_pem = pem.str();
        return servers_.http != 0 && !servers_.ca_pem.empty();
    }

    void stop() {
        if (stdin_ >= 0) close(stdin_);  // the script exits when stdin closes
        stdin_ = -1;
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }

    LiveServers servers_;

private:
    pid_t pid_ = 0;
    int stdin_ = -1;
};

}  // namespace

const LiveServers* live_servers(std::string* why) {
    static std::once_flag once;
    static Process* process = nullptr;
    static bool ok = false;
    static std::string reason;
    std::call_once(once, [] {
        static Process p;  // stopped at exit
        process = &p;
        ok = p.start(&reason);
    });
    if (why) *why = reason;
    return ok ? &process->servers_ : nullptr;
}

std::string http_url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(live_servers()->http) + path;
}

std::string https_url(const std::string& path) {
    return "https://127.0.0.1:" + std::to_string(live_servers()->https) + path;
}

}  // namespace halyard_test
