// kavo_testrun [--port N] [--isolate] [--reports DIR] TEST [ARGS...]
//
// Runs one test so that nothing it starts outlives it. The test gets a process group of its
// own and dies with this runner (PR_SET_PDEATHSIG); this runner is the subreaper of everything
// below it, so a program the test starts detached (an updater restarting the main program)
// stays in the tree. When the test ends, however it ends, whatever is left is ended too:
// SIGTERM, then SIGKILL. A timeout of ctest kills the whole tree, which a subreaper keeps whole.
// With --port the test needs that TCP port: when another process holds it the test fails at
// once with a message naming the holder, instead of later on a confusing comparison.
// With --isolate the test gets a network, IPC and /tmp of its own (root only), so tests that
// each need port 58899, the single-instance key or an X display number run side by side.
// With --reports the sanitizers of the test and of every program it starts write their reports
// into DIR (log_path in ASAN_OPTIONS/UBSAN_OPTIONS): any report fails the test and is printed,
// also one from a child whose exit code the test never looks at.

#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile sig_atomic_t g_stopSignal = 0;

void onStopSignal(int signal)
{
    g_stopSignal = signal;
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The process that listens on the port, as "pid N (command line)", from /proc.
std::string portHolder(int port)
{
    std::vector<std::string> inodes;
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::istringstream lines(readFile(table));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const auto colon = local.rfind(':');
            if (colon == std::string::npos || state != "0A")
                continue;
            if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == port)
                inodes.push_back("socket:[" + inode + "]");
        }
    }
    DIR *proc = opendir("/proc");
    if (!proc)
        return "an unknown process";
    std::string found = "a process this user cannot see";
    while (dirent *entry = readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR *fds = opendir(fdDir.c_str());
        if (!fds)
            continue;
        bool holds = false;
        while (dirent *fd = readdir(fds)) {
            char target[256] = {};
            const std::string link = fdDir + "/" + fd->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0) {
                for (const std::string &inode : inodes)
                    holds = holds || inode == target;
            }
        }
        closedir(fds);
        if (holds) {
            std::string command = readFile("/proc/" + pid + "/cmdline");
            for (char &c : command)
                c = c == '\0' ? ' ' : c;
            found = "pid " + pid + " (" + command + ")";
            break;
        }
    }
    closedir(proc);
    return found;
}

bool portIsFree(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool free = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// Moves the calling process into a network, IPC and mount namespace of its own, with the
// loopback interface up (::1 as well as 127.0.0.1 where the kernel has IPv6) and an empty /tmp.
bool isolate()
{
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC | CLONE_NEWNS) != 0) {
        std::perror("kavo_testrun: unshare");
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
        std::perror("kavo_testrun: mount");
        return false;
    }
    // A new namespace may start with IPv6 off; the server's tests need both loopback addresses.
    for (const char *setting : {"/proc/sys/net/ipv6/conf/default/disable_ipv6", "/proc/sys/net/ipv6/conf/lo/disable_ipv6"}) {
        std::ofstream out(setting);
        if (out)
            out << "0\n";
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request = {};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0
                    && (request.ifr_flags |= IFF_UP, ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (!up)
        std::perror("kavo_testrun: loopback");
    if (fd >= 0)
        close(fd);
    return up;
}

// The files in a folder, sorted by name; none when it does not exist.
std::vector<std::string> filesIn(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (dirent *entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.push_back(folder + "/" + entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Direct children of this process (reparented orphans included).
std::vector<pid_t> children()
{
    std::vector<pid_t> found;
    const std::string self = std::to_string(getpid());
    std::istringstream list(readFile("/proc/" + self + "/task/" + self + "/children"));
    pid_t pid = 0;
    while (list >> pid)
        found.push_back(pid);
    return found;
}

void reapAll()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// Ends everything still below this process: politely first, then for good.
void endDescendants(pid_t group)
{
    kill(-group, SIGTERM);
    for (pid_t pid : children())
        kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        reapAll();
        if (children().empty())
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Orphans of a killed child land here one generation at a time.
    for (int round = 0; round < 50; ++round) {
        kill(-group, SIGKILL);
        const std::vector<pid_t> left = children();
        if (left.empty())
            break;
        for (pid_t pid : left)
            kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        reapAll();
    }
    reapAll();
}

} // namespace

int main(int argc, char **argv)
{
    int first = 1;
    int port = 0;
    std::string reports;
    bool isolated = false;
    while (first + 1 < argc) {
        if (std::strcmp(argv[first], "--isolate") == 0) {
            isolated = true;
            first += 1;
            continue;
        }
        if (std::strcmp(argv[first], "--port") == 0)
            port = std::atoi(argv[first + 1]);
        else if (std::strcmp(argv[first], "--reports") == 0)
            reports = argv[first + 1];
        else
            break;
        first += 2;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: kavo_testrun [--port N] [--isolate] [--reports DIR] TEST [ARGS...]\n");
        return 2;
    }
    if (!reports.empty()) {
        // Reports of an earlier run of this test are not this run's.
        mkdir(reports.c_str(), 0755);
        for (const std::string &old : filesIn(reports))
            unlink(old.c_str());
    }
    if (port > 0 && !isolated && !portIsFree(port)) {
        std::fprintf(stderr, "kavo_testrun: this test needs TCP port %d, which is taken by %s; end that process and run the test again\n",
                     port, portHolder(port).c_str());
        return 1;
    }

    prctl(PR_SET_CHILD_SUBREAPER, 1);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const pid_t parent = getpid();
    const pid_t test = fork();
    if (test < 0) {
        std::perror("kavo_testrun: fork");
        return 1;
    }
    if (test == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(1);
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        if (isolated && !isolate())
            _exit(1);
        execv(argv[first], argv + first);
        std::fprintf(stderr, "kavo_testrun: cannot start %s: %s\n", argv[first], std::strerror(errno));
        _exit(127);
    }
    setpgid(test, test);

    int status = 0;
    bool forwarded = false;
    for (;;) {
        if (g_stopSignal && !forwarded) {
            kill(-test, g_stopSignal);
            forwarded = true;
        }
        int childStatus = 0;
        const pid_t ended = waitpid(-1, &childStatus, 0);
        if (ended == test) {
            status = childStatus;
            break;
        }
        if (ended < 0 && errno != EINTR)
            break;
    }
    endDescendants(test);

    int reported = 0;
    for (const std::string &file : filesIn(reports)) {
        const std::string text = readFile(file);
        if (text.empty())
            continue;
        std::fprintf(stderr, "kavo_testrun: sanitizer report %s:\n%s\n", file.c_str(), text.c_str());
        ++reported;
    }
    if (reported > 0) {
        std::fprintf(stderr, "kavo_testrun: %d sanitizer report(s); the test fails\n", reported);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return 1;
    }

    if (WIFSIGNALED(status)) {
        // Ended the way the test ended, so ctest reports the signal.
        signal(WTERMSIG(status), SIG_DFL);
        prctl(PR_SET_DUMPABLE, 0);
        raise(WTERMSIG(status));
        return 128 + WTERMSIG(status);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
