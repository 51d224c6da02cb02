// Programs that a test starts itself, so that it can signal them, read their
// exit status and, if it asks, what they wrote to stderr. They inherit the
// test's environment, and with it the ROS_MASTER_URI of the test's own master.
#ifndef ZYR_TEST_SUPPORT_CHILD_PROCESS_H
#define ZYR_TEST_SUPPORT_CHILD_PROCESS_H

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "zyr_test_support/wait.h"

namespace test_support
{
// The executable `name` of catkin package `package`, looked up the way rosrun
// does: lib/<package>/<name> under each prefix of CMAKE_PREFIX_PATH (devel or
// install space). Empty if there is none.
inline std::string findExecutable(const std::string& package, const std::string& name)
{
  const char* prefixes = std::getenv("CMAKE_PREFIX_PATH");
  std::stringstream list(prefixes ? prefixes : "");
  std::string prefix;
  while (std::getline(list, prefix, ':'))
  {
    const std::string path = prefix + "/lib/" + package + "/" + name;
    if (!prefix.empty() && access(path.c_str(), X_OK) == 0)
      return path;
  }
  return std::string();
}

class ChildProcess
{
public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess()
  {
    stop(3.0);
    if (stderr_ >= 0)
      close(stderr_);
  }

  // With `capture_stderr`, the program's stderr goes to a pipe that
  // stderrText() reads.
  bool start(const std::string& path, const std::vector<std::string>& args, bool capture_stderr = false)
  {
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all)
      argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (capture_stderr && pipe(pipe_fds) != 0)
      return false;
    pid_ = fork();
    if (pid_ == 0)
    {
      // Only async-signal-safe calls between fork and exec: the test process
      // runs ROS threads. A test that dies must not leave the program behind.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (capture_stderr)
      {
        dup2(pipe_fds[1], 2);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
      }
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (capture_stderr)
    {
      close(pipe_fds[1]);
      stderr_ = pipe_fds[0];
    }
    reaped_ = false;
    return pid_ > 0;
  }

  pid_t pid() const
  {
    return pid_;
  }

  bool running()
  {
    poll();
    return pid_ > 0 && !reaped_;
  }

  bool signal(int sig)
  {
    return running() && kill(pid_, sig) == 0;
  }

  // Waits up to `timeout` seconds for the program to end; true if it did.
  bool waitExit(double timeout)
  {
    return pid_ > 0 && waitFor([this] { return !running(); }, timeout, 0.01);
  }

  // Asks the program to stop with SIGINT, and kills it if it has not ended
  // after `grace` seconds.
  void stop(double grace)
  {
    if (!running())
      return;
    kill(pid_, SIGINT);
    if (!waitExit(grace))
    {
      kill(pid_, SIGKILL);
      waitExit(5.0);
    }
  }

  // The wait status of an ended program (see waitpid).
  int status() const
  {
    return status_;
  }

  bool exitedWith(int code) const
  {
    return reaped_ && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
  }

  bool killedBy(int sig) const
  {
    return reaped_ && WIFSIGNALED(status_) && WTERMSIG(status_) == sig;
  }

  std::string describe() const
  {
    if (!reaped_)
      return "still running";
    if (WIFEXITED(status_))
      return "exited with " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_))
      return "killed by signal " + std::to_string(WTERMSIG(status_));
    return "ended with status " + std::to_string(status_);
  }

  // Everything the program wrote to stderr; blocks until it closes its end,
  // so ask once the program has ended.
  std::string stderrText()
  {
    std::string text;
    char buffer[512];
    ssize_t n;
    while (stderr_ >= 0 && (n = read(stderr_, buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<std::size_t>(n));
    return text;
  }

private:
  void poll()
  {
    if (pid_ > 0 && !reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_)
      reaped_ = true;
  }

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  int stderr_ = -1;
};

}  // namespace test_support

#endif  // ZYR_TEST_SUPPORT_CHILD_PROCESS_H
