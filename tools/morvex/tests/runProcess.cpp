#include "runProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        // Close-on-exec, so that no other child keeps this one's input open.
        if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    }
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    int release(int end) {
        const int f = fd[end];
        fd[end] = -1;
        return f;
    }
};

void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// The parent's ends of the child's standard streams; -1 where there is none.
struct Spawned {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
};

Spawned spawn(const std::vector<std::string>& argv, Stdout outTo) {
    // A child that exits before it read its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    Pipe in;
    Pipe out;
    Pipe err;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
    if (outTo == Stdout::pipe) posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
    if (outTo == Stdout::closed) posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    if (outTo == Stdout::full) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
    Spawned s;
    const int spawned = posix_spawn(&s.pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + argv[0]);
    s.in = in.release(1);
    fcntl(s.in, F_SETFL, O_NONBLOCK);  // a full pipe must not stop the reading of its output
    s.out = out.release(0);
    s.err = err.release(0);
    return s;
}

// Writes what the pipe takes now; closes it when everything is written or the child is gone.
void feed(int& fd, const std::string& input, size_t& written) {
    const ssize_t n = write(fd, input.data() + written, input.size() - written);
    if (n > 0) written += static_cast<size_t>(n);
    if (written == input.size() || (n < 0 && errno != EAGAIN && errno != EINTR)) closeFd(fd);
}

// Feeds the input and reads both pipes until both are closed; poll keeps a full stderr from
// blocking stdout. A child still running at the deadline is killed, which closes its pipes.
void drain(Spawned& s, const std::string& input, std::chrono::steady_clock::time_point deadline,
           ProcessResult& result) {
    size_t written = 0;
    if (input.empty()) closeFd(s.in);
    std::string* sinks[2] = {&result.out, &result.err};
    for (;;) {
        struct pollfd fds[3] = {{s.out, POLLIN, 0}, {s.err, POLLIN, 0}, {s.in, POLLOUT, 0}};
        if (s.out < 0 && s.err < 0) break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!result.timedOut && left.count() <= 0) {
            kill(s.pid, SIGKILL);
            result.timedOut = true;
        }
        const int wait = result.timedOut ? -1 : static_cast<int>(left.count()) + 1;
        const int ready = poll(fds, 3, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (fds[2].revents != 0) feed(s.in, input, written);
        int* ends[2] = {&s.out, &s.err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[65536];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                closeFd(*ends[i]);
            }
        }
    }
    closeFd(s.in);
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    return runProcess(argv, ProcessOptions{}, limit);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    Spawned s = spawn(argv, options.out);
    ProcessResult result{{}, {}, -1};
    drain(s, options.input, deadline, result);
    result.status = waitFor(s.pid);
    return result;
}

RunningProcess::RunningProcess(const std::vector<std::string>& argv) {
    const Spawned s = spawn(argv, Stdout::pipe);
    pid_ = s.pid;
    in_ = s.in;
    out_ = s.out;
    err_ = s.err;
    fcntl(in_, F_SETFL, 0);  // written a piece at a time: blocking is fine
}

RunningProcess::~RunningProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitFor(pid_);
    }
    closeFd(in_);
    closeFd(out_);
    closeFd(err_);
}

void RunningProcess::write(const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(in_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error("cannot write to the program");
        written += static_cast<size_t>(n);
    }
}

std::string RunningProcess::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const size_t end = pendingOut_.find('\n');
        if (end != std::string::npos) {
            std::string line = pendingOut_.substr(0, end + 1);
            pendingOut_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd fd = {out_, POLLIN, 0};
        if (left.count() <= 0 || poll(&fd, 1, static_cast<int>(left.count())) <= 0) return "";
        char buffer[4096];
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) return "";
        pendingOut_.append(buffer, static_cast<size_t>(n));
    }
}

ProcessResult RunningProcess::finish(std::chrono::milliseconds limit) {
    Spawned s{pid_, in_, out_, err_};
    in_ = out_ = err_ = -1;
    ProcessResult result{pendingOut_, {}, -1};
    pendingOut_.clear();
    drain(s, "", std::chrono::steady_clock::now() + limit, result);
    result.status = waitFor(pid_);
    pid_ = -1;
    return result;
}
