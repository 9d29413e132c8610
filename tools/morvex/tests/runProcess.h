// Runs a program with its own argument vector (no shell) and collects what it wrote.
#ifndef MORVEX_TESTS_RUNPROCESS_H
#define MORVEX_TESTS_RUNPROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    std::string out;
    std::string err;
    int status;  // the exit status, or 128 + the signal that ended it
    bool timedOut = false;
};

// Where the program's standard output goes: a pipe the caller reads, nowhere (closed), or a
// device on which every write fails for want of space.
enum class Stdout { pipe, closed, full };

struct ProcessOptions {
    std::string input;  // written to standard input, which is then closed
    Stdout out = Stdout::pipe;
};

// A program still running after limit is killed (SIGKILL) and reported as timed out.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         std::chrono::milliseconds limit = std::chrono::minutes(5));
ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options,
                         std::chrono::milliseconds limit = std::chrono::minutes(5));

// A program that keeps running while the caller writes its input a piece at a time and reads
// its output, as a caller that waits for each answer does.
class RunningProcess {
  public:
    explicit RunningProcess(const std::vector<std::string>& argv);
    ~RunningProcess();  // kills the program if it still runs
    RunningProcess(const RunningProcess&) = delete;
    RunningProcess& operator=(const RunningProcess&) = delete;

    pid_t pid() const { return pid_; }
    void write(const std::string& text);
    // Standard output up to and including the next line end; empty when none came in time.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Closes standard input and collects the rest of the output and the status.
    ProcessResult finish(std::chrono::milliseconds limit = std::chrono::minutes(1));

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pendingOut_;
};

#endif  // MORVEX_TESTS_RUNPROCESS_H
