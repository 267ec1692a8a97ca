// Watches one Discover of the real program from outside its process, for
// bench/discovery.sh: clicks Discover, then reports when the list holds
// every card, when the countdown dialog ends, when every row shows an
// answering icon, and how long the main window took to answer WM_NULL
// meanwhile. After the Discover it goes on measuring the window until a
// line arrives on stdin, then reports that second stretch.
//   discovery-watch CARDS [TIMEOUT_S]        (under Wine, beside the program)
// Output: key=value lines; times in ms from the click.
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char MAIN_CLASS[] = "DaveridurClassName";
const char DIALOG_TITLE[] = "Daveridur -- Discovering UPS";
constexpr int TAB_ID = 1000, LIST_ID = 1, DISCOVER_ID = 5;
constexpr int ICON_NO_REPLY = 0;
constexpr double SLOW_MS = 50;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct ChildQuery {
  int id;
  const char* cls;
  HWND found;
};

BOOL CALLBACK match_child(HWND h, LPARAM lp) {
  auto* q = reinterpret_cast<ChildQuery*>(lp);
  char cls[64] = "";
  GetClassNameA(h, cls, sizeof cls);
  if (GetDlgCtrlID(h) == q->id && (!q->cls || lstrcmpiA(cls, q->cls) == 0)) {
    q->found = h;
    return FALSE;
  }
  return TRUE;
}

HWND descendant(HWND parent, int id, const char* cls) {
  ChildQuery q{id, cls, nullptr};
  EnumChildWindows(parent, match_child, reinterpret_cast<LPARAM>(&q));
  return q.found;
}

// The WM_NULL round trips of the main window, each with its end time.
struct Pings {
  std::mutex mutex;
  std::vector<std::pair<double, double>> samples;  // (at ms, round trip ms)
  std::atomic<bool> stop{false};
};

void ping_loop(HWND main, Clock::time_point origin, Pings* p) {
  while (!p->stop.load()) {
    auto t = Clock::now();
    DWORD_PTR r = 0;
    SendMessageTimeoutA(main, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &r);
    double took = ms_since(t);
    {
      std::lock_guard<std::mutex> lock(p->mutex);
      p->samples.push_back({ms_since(origin), took});
    }
    Sleep(5);
  }
}

void report_pings(Pings* p, const char* stretch, double from, double to) {
  std::vector<double> v;
  std::string slow;
  {
    std::lock_guard<std::mutex> lock(p->mutex);
    for (auto& s : p->samples) {
      if (s.first < from || s.first > to) continue;
      v.push_back(s.second);
      // When the long waits were, to tell them apart by phase.
      if (s.second > SLOW_MS) {
        char one[48];
        std::snprintf(one, sizeof one, " %.0f+%.0f", s.first - s.second, s.second);
        slow.append(one);
      }
    }
  }
  if (!slow.empty()) std::printf("%s_slow=%s\n", stretch, slow.c_str() + 1);
  std::sort(v.begin(), v.end());
  double worst = v.empty() ? 0 : v.back();
  double p99 = v.empty() ? 0 : v[std::min(v.size() - 1, v.size() * 99 / 100)];
  std::printf("%s_pings=%zu\n%s_null_worst_ms=%.1f\n%s_null_p99_ms=%.1f\n", stretch, v.size(), stretch,
              worst, stretch, p99);
  std::fflush(stdout);
}

// Reads row images through a buffer in the program's process.
struct Remote {
  HANDLE process = nullptr;
  char* base = nullptr;
  ~Remote() {
    if (base) VirtualFreeEx(process, base, 0, MEM_RELEASE);
    if (process) CloseHandle(process);
  }
};

int row_image(HWND list, const Remote& rb, int row) {
  LVITEMA item{};
  item.mask = LVIF_IMAGE;
  item.iItem = row;
  SIZE_T done = 0;
  if (!WriteProcessMemory(rb.process, rb.base, &item, sizeof item, &done)) return -1;
  DWORD_PTR ok = 0;
  if (!SendMessageTimeoutA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(rb.base), SMTO_NORMAL, 10000,
                           &ok) ||
      !ok)
    return -1;
  if (!ReadProcessMemory(rb.process, rb.base, &item, sizeof item, &done)) return -1;
  return item.iImage;
}

int item_count(HWND list) {
  DWORD_PTR n = 0;
  SendMessageTimeoutA(list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, 10000, &n);
  return static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  int cards = argc > 1 ? std::atoi(argv[1]) : 1000;
  double timeout_ms = (argc > 2 ? std::atof(argv[2]) : 60) * 1000;
  HWND main = nullptr;
  for (int i = 0; i < 600 && !main; ++i, Sleep(50)) main = FindWindowA(MAIN_CLASS, nullptr);
  HWND tab = main ? descendant(main, TAB_ID, nullptr) : nullptr;
  HWND list = tab ? descendant(tab, LIST_ID, WC_LISTVIEWA) : nullptr;
  HWND discover = tab ? descendant(tab, DISCOVER_ID, "Button") : nullptr;
  if (!list || !discover) {
    std::fprintf(stderr, "discovery-watch: the program's window or controls are not there\n");
    return 1;
  }
  Remote rb;
  DWORD pid = 0;
  GetWindowThreadProcessId(list, &pid);
  rb.process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (rb.process)
    rb.base = static_cast<char*>(
        VirtualAllocEx(rb.process, nullptr, sizeof(LVITEMA), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!rb.base) {
    std::fprintf(stderr, "discovery-watch: no access to the program's memory\n");
    return 1;
  }

  auto origin = Clock::now();
  Pings pings;
  std::thread pinger(ping_loop, main, origin, &pings);
  PostMessageA(discover, BM_CLICK, 0, 0);

  double dialog_seen = -1, dialog_gone = -1, all_rows = -1, all_ready = -1;
  std::vector<int> pending;  // rows not yet seen answering, once the pass has begun
  int listed = 0, known = 0;
  while (ms_since(origin) < timeout_ms && all_ready < 0) {
    Sleep(20);
    double now = ms_since(origin);
    HWND dialog = FindWindowA(nullptr, DIALOG_TITLE);
    if (dialog && dialog_seen < 0) dialog_seen = now;
    if (!dialog && dialog_seen >= 0 && dialog_gone < 0) {
      dialog_gone = now;
      std::printf("dialog_ms=%.1f\n", dialog_gone);
    }
    listed = item_count(list);
    if (all_rows < 0 && listed >= cards) {
      all_rows = ms_since(origin);
      std::printf("all_rows_ms=%.1f\n", all_rows);
    }
    // Rows turn ready only from the refresh pass after the dialog.
    if (dialog_gone < 0) continue;
    for (; known < listed; ++known) pending.push_back(known);
    // In the pass's order, last row first, up to the first row not ready:
    // reading every row each time would itself keep the window busy.
    while (!pending.empty() && row_image(list, rb, pending.back()) != ICON_NO_REPLY) pending.pop_back();
    if (pending.empty() && listed >= cards) {
      all_ready = ms_since(origin);
      std::printf("all_ready_ms=%.1f\nready_after_pass_ms=%.1f\n", all_ready, all_ready - dialog_gone);
    }
  }
  std::printf("rows=%d\n", item_count(list));
  if (all_ready < 0) std::printf("not_ready=%zu\n", pending.size() + (listed - known));
  report_pings(&pings, "discover", 0, ms_since(origin));
  double second_from = ms_since(origin);
  std::printf("watching\n");
  std::fflush(stdout);

  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) line[0] = 0;
  pings.stop.store(true);
  pinger.join();
  report_pings(&pings, "after", second_from, ms_since(origin));
  return all_rows >= 0 && all_ready >= 0 ? 0 : 2;
}
