// Starting, watching and killing a test's child process.
#include "netobj/test/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace TestNetObj {

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  int out[2], in[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> all_env;
  for (char** e = environ; *e != nullptr; ++e) all_env.emplace_back(*e);
  all_env.insert(all_env.end(), env.begin(), env.end());
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : all_env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::dup2(in[0], 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(in[0]);
  out_ = out[0];
  in_ = in[1];
}

Child::~Child() {
  Kill();
  if (out_ >= 0) ::close(out_);
  if (in_ >= 0) ::close(in_);
}

bool Child::WaitForText(std::string_view text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(out_, buf, sizeof(buf));
    if (n <= 0) return output_.find(text) != std::string::npos;
    output_.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

void Child::Say(const std::string& line) {
  std::string l = line + "\n";
  (void)!::write(in_, l.data(), l.size());
}

void Child::Signal(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

void Child::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

}  // namespace TestNetObj
