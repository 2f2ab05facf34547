// Running the real `ondrel` binary (or any program) from a test.
//
// Two ways:
//
//   1. One shot: RunProgram / RunOndrel start the program with its arguments,
//      an environment change and a stdin text (written, then closed), collect
//      stdout and stderr until it ends, and kill it after a time-out.
//
//        RunOptions options;
//        options.stdinText = "x";                    // keys; stdin then ends
//        options.setEnv = {{"ZVBERTLOGPATH", dir}};  // added or replaced
//        options.unsetEnv = {"HOME"};
//        RunResult r = RunOndrel({"-c2", "-A"}, options);
//        EXPECT_EQ(r.exitCode, 255);                 // -1 as a process status
//        EXPECT_TRUE(r.HasLine("Ondrel Command Line Options:"));
//
//   2. Interactive: ChildProcess starts the program with stdin left open, so a
//      test can wait for a line of output, type keys at the right moment, send
//      a signal, and then collect the result.
//
//        ChildProcess child(ONDREL_BINARY, {"+S", "-L2"}, options);
//        ASSERT_TRUE(child.WaitForOutput("Test Started", 5000));
//        child.Type("s");
//        child.Signal(SIGTERM);
//        RunResult r = child.Finish(10000);
//
// The child gets the default disposition of every signal and an empty signal
// mask, whatever the test runner had, so SIGINT and SIGTERM reach it as they
// would from a shell. On Windows a child whose stdin is a pipe has no console
// to send Ctrl-C to: SIGINT and SIGTERM arrive as the key 'x' the program
// turns them into, and SIGKILL terminates it. Output is read through pipes, so the child's stdout
// is not a terminal (fully buffered unless it flushes).
//
// RunOndrel is available in test targets, where ONDREL_BINARY names the
// binary. Link the target `e2e_support`.
//
// Wall-clock bounds: every time-out here (RunOptions::timeoutMs,
// WaitForOutput, Finish) is multiplied by TimeScale(), and a test's own upper
// bound on how long something took goes through ScaledMs / ScaledSeconds.
// The sanitizer test presets set ONDREL_TEST_TIME_SCALE, since a run under
// them takes several times as long; a bound still catches a hang there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

// ONDREL_TEST_TIME_SCALE as a number of at least 1 (1 when unset or not a
// number): how many times slower than a plain build this suite runs.
double TimeScale();
int ScaledMs(int ms);
double ScaledSeconds(double seconds);

// Looks at condition every millisecond or two until it holds or timeoutMs
// (times TimeScale()) has passed; the last look decides. For a test that
// waits on state another thread changes and that offers no event to wait on.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

struct RunOptions {
    std::string stdinText;                                    // written at start
    std::vector<std::pair<std::string, std::string>> setEnv;  // name, value
    std::vector<std::string> unsetEnv;
    std::string workDir;    // empty: the test's own
    int timeoutMs = 30000;  // times TimeScale(), then the child is killed (SIGKILL)
};

struct RunResult {
    int exitCode = -1;  // exit status 0..255; -1 when ended by a signal
    int signal = 0;     // the ending signal, or 0
    bool timedOut = false;
    std::string out;  // stdout
    std::string err;  // stderr

    // True when some line of stdout equals line exactly (without its "\n").
    bool HasLine(const std::string& line) const;
    // True when stdout contains text anywhere.
    bool Contains(const std::string& text) const { return out.find(text) != std::string::npos; }
    // True when some line of stdout is a time-stamped event line (LogEvent)
    // whose message is text.
    bool HasEvent(const std::string& text) const;
    // Number of times text occurs in stdout.
    int Count(const std::string& text) const;
    // The lines of stdout, without their line ends.
    std::vector<std::string> Lines() const;
    // The number after label in the last line that has it (a closing report
    // comes last); -1 when no line has it.
    double LastValue(const std::string& label) const;
};

class ChildProcess {
   public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const RunOptions& options = RunOptions());
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // Kills the child when it is still running.
    ~ChildProcess();

    bool Started() const { return pid_ > 0; }
    // Writes text to the child's stdin; false when stdin is closed.
    bool Type(const std::string& text);
    void CloseStdin();
    void Signal(int sig);
    // Reads output until stdout contains text; false after timeoutMs or when
    // the child closed its output first.
    bool WaitForOutput(const std::string& text, int timeoutMs);
    // The same for whichever of several texts comes first.
    bool WaitForAnyOutput(const std::vector<std::string>& texts, int timeoutMs);
    // The same for a condition on stdout so far, looked at again as more
    // comes (a report after a mark, a count that reached a value).
    bool WaitForOutputThat(const std::function<bool(const std::string& out)>& condition,
                           int timeoutMs);
    // Output gathered so far.
    const std::string& Output() const { return result_.out; }
    // Closes stdin, waits for the end (killing the child after timeoutMs)
    // and returns everything it wrote.
    RunResult Finish(int timeoutMs);

   private:
    // Reads what is there, waiting at most waitMs; false at end of output.
    bool Pump(int waitMs);
    bool Reap(bool block);

    int pid_ = -1;
    intptr_t processHandle_ = 0;  // Windows only: the child's process handle
    int stdinFd_ = -1;
    int stdoutFd_ = -1;
    int stderrFd_ = -1;
    bool exited_ = false;
    RunResult result_;
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options = RunOptions());

#ifdef ONDREL_BINARY
inline RunResult RunOndrel(const std::vector<std::string>& args,
                           const RunOptions& options = RunOptions()) {
    return RunProgram(ONDREL_BINARY, args, options);
}
#endif

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

   private:
    std::string path_;
};

// Length of the event time stamp ("09 Dec 2026 13:19:00: ") that starts
// line, or 0 when line does not start with one.
size_t EventStampLength(const std::string& line);

// Whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

// Options for one run on the simulated card that config (written to name in
// dir) describes, with dir as its home and log folder and no control file.
RunOptions SimRunOptions(const TempDir& dir, const std::string& name, const std::string& config);

}  // namespace e2e
