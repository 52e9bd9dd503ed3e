#include "test_process.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace vktest {

temp_dir::temp_dir() {
  char tmpl[] = "/tmp/vktest.XXXXXX";
  char *p = mkdtemp(tmpl);
  if (p != nullptr) path = p;
}

temp_dir::~temp_dir() {
  if (path.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

namespace {

// Builds the child's environment: ours, with each "NAME=value" replacing or
// adding and each bare "NAME" removing.
std::vector<std::string> make_env(const std::vector<std::string> &changes) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; e++) env.emplace_back(*e);
  for (const std::string &c : changes) {
    size_t eq = c.find('=');
    std::string name = c.substr(0, eq);
    for (auto it = env.begin(); it != env.end();) {
      if (it->compare(0, name.size() + 1, name + "=") == 0) {
        it = env.erase(it);
      } else {
        ++it;
      }
    }
    if (eq != std::string::npos) env.push_back(c);
  }
  return env;
}

// Starts the child and returns once it has replaced itself with the program
// (or failed to), so that its /proc entries already describe the program.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env_changes,
            const std::string &cwd, int out_fd, int err_fd) {
  std::vector<std::string> env = make_env(env_changes);
  std::vector<char *> cargv;
  for (const std::string &a : argv) cargv.push_back(const_cast<char *>(a.c_str()));
  cargv.push_back(nullptr);
  std::vector<char *> cenv;
  for (const std::string &e : env) cenv.push_back(const_cast<char *>(e.c_str()));
  cenv.push_back(nullptr);

  // The write end closes on a successful exec; a failed one writes a byte.
  int sync[2];
  if (pipe2(sync, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) {
    close(sync[0]);
    close(sync[1]);
    return -1;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    close(sync[0]);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    setpgid(0, 0);
    if (cwd.empty() || chdir(cwd.c_str()) == 0) execve(cargv[0], cargv.data(), cenv.data());
    char failed = 1;
    ssize_t ignored = write(sync[1], &failed, 1);
    (void)ignored;
    _exit(127);
  }
  close(sync[1]);
  char byte;
  while (read(sync[0], &byte, 1) < 0 && errno == EINTR) {
  }
  close(sync[0]);
  return pid;
}

int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

}  // namespace

run_result run_program(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                       const std::string &cwd, int timeout_ms) {
  run_result r;
  temp_dir logs;
  std::string out_path = logs.path + "/out";
  std::string err_path = logs.path + "/err";
  int out_fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out_fd < 0 || err_fd < 0) {
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    return r;
  }
  pid_t pid = spawn(argv, env, cwd, out_fd, err_fd);
  close(out_fd);
  close(err_fd);
  if (pid < 0) return r;

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int st = 0;
  for (;;) {
    pid_t w = waitpid(pid, &st, WNOHANG);
    if (w == pid) {
      r.status = decode_status(st);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      r.timed_out = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
      r.status = decode_status(st);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

child start_program(const std::vector<std::string> &argv, const std::string &log_dir,
                    const std::vector<std::string> &env, const std::string &cwd) {
  static int seq = 0;
  child c;
  std::string base = log_dir + "/child" + std::to_string(getpid()) + "_" + std::to_string(seq++);
  c.out_path = base + ".out";
  c.err_path = base + ".err";
  int out_fd = open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int err_fd = open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out_fd >= 0 && err_fd >= 0) c.pid = spawn(argv, env, cwd, out_fd, err_fd);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  return c;
}

int wait_program(child &c, int timeout_ms) {
  if (c.pid <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int st = 0;
  for (;;) {
    pid_t w = waitpid(c.pid, &st, WNOHANG);
    if (w == c.pid) {
      c.pid = -1;
      return decode_status(st);
    }
    if (w < 0) {
      c.pid = -1;
      return -1;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void stop_program(child &c, int grace_ms) {
  if (c.pid <= 0) return;
  kill(c.pid, SIGTERM);
  if (wait_program(c, grace_ms) >= 0 || c.pid <= 0) return;
  kill(-c.pid, SIGKILL);
  kill(c.pid, SIGKILL);
  wait_program(c, 5000);
}

bool wait_until(const std::function<bool()> &pred, int timeout_ms, int step_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(step_ms));
  }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> read_lines(const std::string &path, const std::string &needle) {
  std::vector<std::string> out;
  std::string text = read_file(path);
  size_t pos = 0;
  for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1) {
    std::string line = text.substr(pos, nl - pos);
    if (line.find(needle) != std::string::npos) out.push_back(line);
  }
  return out;
}

bool raw_icmp_allowed() {
  int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

bool file_exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

int free_port(int type) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof(a);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

std::string built_program(const std::string &relative) {
  return std::string(VK_BINARY_DIR) + "/" + relative;
}

}  // namespace vktest
