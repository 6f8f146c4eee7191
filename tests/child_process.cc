// Starting this test program again as a child process, on Windows and on
// POSIX. A program that runs under a user-mode emulator (the 32-bit Linux
// build) finds the emulator's command in TBX_TEST_EMULATOR and starts the
// child under it too.
#include "tests/child_process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace tbx_test {

#ifdef _WIN32

bool StartChild(const char* role, const char* arg, Child* child) {
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n == 0 || n >= sizeof self) return false;
    std::string command = std::string("\"") + self + "\" " + kChildFlag + " " + role + " " + arg;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return false;
    CloseHandle(process.hThread);
    child->id = reinterpret_cast<intptr_t>(process.hProcess);
    return true;
}

int WaitChild(const Child& child) {
    HANDLE process = reinterpret_cast<HANDLE>(child.id);
    DWORD code = 0;
    bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                 GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return ended ? static_cast<int>(code) : -1;
}

#else

bool StartChild(const char* role, const char* arg, Child* child) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = '\0';
    std::vector<std::string> words;
    if (const char* emulator = std::getenv("TBX_TEST_EMULATOR")) {
        std::string all = emulator;
        for (size_t at = 0; at < all.size();) {
            size_t end = all.find(' ', at);
            if (end == std::string::npos) end = all.size();
            if (end > at) words.push_back(all.substr(at, end - at));
            at = end + 1;
        }
    }
    for (const char* word : {static_cast<const char*>(self), kChildFlag, role, arg})
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    child->id = pid;
    return true;
}

int WaitChild(const Child& child) {
    int status;
    pid_t pid;
    while ((pid = waitpid(static_cast<pid_t>(child.id), &status, 0)) < 0 && errno == EINTR) {
    }
    return pid > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif

}  // namespace tbx_test
