// Running programs from a test (the host shell, Prometheus, a browser) and talking to the shell
// over loopback sockets, raw or as a small HTTP client: a child process with its output in files,
// bounded waits, free ports. Each object belongs to the test thread that made it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Waits for `done`, checking every 100 ms, up to `seconds` real seconds.
bool Eventually(const std::function<bool()>& done, double seconds);

// The program's path on $PATH, or empty.
std::string FindProgram(const std::string& name);

// A free TCP port on 127.0.0.1.
int FreePort();

// A child process with its output in files and its input read from `in` (a file or a FIFO),
// its address space limited to `addressSpace` bytes when not 0; killed if the test leaves it
// running.
class Child {
 public:
  Child(const std::vector<std::string>& args, const std::string& out, const std::string& err,
        const std::string& in = "/dev/null", size_t addressSpace = 0);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool Running();
  pid_t Pid() const { return m_Pid; }
  // Sends `signal` (0: none) and waits up to `seconds` for the end; the exit status, or -1.
  int Finish(int signal, double seconds);

 private:
  pid_t m_Pid = -1;
  bool m_Done = false;
  int m_Status = -1;
};

// A raw connection to a loopback port, for requests no well-behaved client sends. `from` is the
// loopback address the connection comes from (127.0.0.0/8 all reach the port).
class RawConnection {
 public:
  // Every receive waits at most `seconds`.
  explicit RawConnection(int port, const char* from = "127.0.0.1", double seconds = 30);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Send(const std::string& data);
  // The head of the server's answer (status line and headers), or what came before the
  // connection closed or went quiet.
  std::string Answer();
  // Bytes as they come (appended to `into`); false once the connection closed or went quiet.
  bool Receive(std::string& into);
  int Fd() const { return m_Fd; }

 private:
  int m_Fd;
};

// One HTTP answer read whole; status -1 when none came before the connection closed or went
// quiet.
struct HttpAnswer {
  int status = -1;
  std::string head;  // status line and headers
  std::string body;
  // A header's value, or empty.
  std::string Header(const std::string& name) const;
};

// The next answer on a connection. `pending` holds what came beyond an earlier answer.
HttpAnswer ReadAnswer(RawConnection& connection, std::string& pending);

// GET `target` from 127.0.0.1:port on a connection of its own, with extra header lines
// ("Range: bytes=0-\r\n"), waiting at most `seconds` for each receive.
HttpAnswer HttpGet(int port, const std::string& target, const std::string& headers = "",
                   double seconds = 5);

// `text` percent-encoded for a query string.
std::string UrlEncode(const std::string& text);

// The peak resident memory of a process in KiB (VmHWM), or -1.
long PeakMemoryKiB(pid_t pid);

// Whether bounds on a process's memory can be checked: AddressSanitizer keeps freed memory in
// quarantine and maps shadow memory, so under it resident figures say nothing of the program.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryBoundsHold = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryBoundsHold = false;
#else
constexpr bool kMemoryBoundsHold = true;
#endif
#else
constexpr bool kMemoryBoundsHold = true;
#endif

// How many times longer a time target of the plain build may take here: under a sanitizer every
// step costs several times as much, so a target such as "a scrape within 1 s" is checked with
// that room.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSanitizerSlowdown = 5;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr int kSanitizerSlowdown = 5;
#else
constexpr int kSanitizerSlowdown = 1;
#endif
#else
constexpr int kSanitizerSlowdown = 1;
#endif

// True once the process has ended: gone, or a zombie waiting for its parent. Waits up to
// `seconds` real seconds for the kernel to finish a kill.
bool ProcessEnded(pid_t pid, double seconds = 5);
