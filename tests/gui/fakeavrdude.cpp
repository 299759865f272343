// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the programmer in the window's tests. Copied beside a test
// executable under the programmer's name, it follows the steps written in
// "fake-avrdude.script" beside itself, one per line:
//   record <dir>     writes its pid to <dir>/pid and its program path and
//                    arguments, each ended by a NUL, to <dir>/args
//   print <bytes>    writes the bytes to its output as one write
//   wait <file>      waits until the file exists (at most a minute)
//   sleep <ms>       sleeps
//   block <n>        makes later streams write n bytes a write (512 at first)
//   pipesize <n>     asks for an output pipe of n bytes where the system
//                    allows it (Linux), so that a reader finds that much at once
//   stream <file>    copies the file to its output, a block a write
//   forever <bytes>  writes the bytes again and again, every 10 ms, until it
//                    is ended; "{n}" in them counts the writes (1, 2, ...)
//   closeinput       closes its standard input
//   crash            ends at once, as if killed
//   exit <code>      ends with that exit code (the default end is exit 0)
// Arguments are hex-encoded bytes, so that any path or output fits a line.
// Standard C++ and a few system calls only: it runs where the tests run.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

std::string fromHex(const std::string &hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

void writeOut(const std::string &bytes)
{
#ifdef _WIN32
    // Straight to the handle: the C library's text mode would add carriage
    // returns the test did not ask for.
    DWORD written = 0;
    if (!bytes.empty())
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), DWORD(bytes.size()), &written, nullptr);
#else
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
#endif
}

bool exists(const std::string &path)
{
    std::ifstream file(path);
    return file.good();
}

// The program path and the arguments exactly as this process received them.
std::vector<std::string> receivedArguments(int argc, char **argv)
{
    std::vector<std::string> values;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    // Windows hands over one command line; split it by the system's rules,
    // as a C program such as the real programmer does.
    int count = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string value(size > 0 ? size - 1 : 0, '\0');
        if (size > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, &value[0], size, nullptr, nullptr);
        values.push_back(value);
    }
    LocalFree(wide);
#else
    for (int i = 0; i < argc; ++i)
        values.emplace_back(argv[i]);
#endif
    return values;
}

std::string scriptPath(const char *argv0)
{
#ifdef _WIN32
    (void)argv0;
    char own[MAX_PATH * 4];
    const DWORD size = GetModuleFileNameA(nullptr, own, DWORD(sizeof own));
    std::string path(own, size);
#else
    std::string path(argv0);
#endif
    const std::size_t slash = path.find_last_of("/\\");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "fake-avrdude.script";
}

[[noreturn]] void crash()
{
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 9);
#else
    std::raise(SIGKILL);
#endif
    std::abort();
}

long processId()
{
#ifdef _WIN32
    return long(GetCurrentProcessId());
#else
    return long(getpid());
#endif
}

} // namespace

int main(int argc, char **argv)
{
    std::ifstream script(scriptPath(argv[0]));
    if (!script) {
        writeOut("fake programmer: no script\n");
        return 97;
    }
    std::string step;
    std::vector<char> block(512);
    while (std::getline(script, step)) {
        const std::size_t blank = step.find(' ');
        const std::string verb = step.substr(0, blank);
        const std::string argument = blank == std::string::npos ? std::string() : fromHex(step.substr(blank + 1));
        if (verb == "record") {
            std::ofstream args(argument + "/args", std::ios::binary);
            for (const std::string &value : receivedArguments(argc, argv))
                args << value << '\0';
            args.close();
            std::ofstream(argument + "/pid") << processId() << '\n';
        } else if (verb == "print") {
            writeOut(argument);
        } else if (verb == "wait") {
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::minutes(1);
            while (!exists(argument)) {
                if (std::chrono::steady_clock::now() > giveUp) {
                    writeOut("fake programmer: gave up waiting for " + argument + "\n");
                    return 98;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } else if (verb == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argument.c_str())));
        } else if (verb == "stream") {
            std::ifstream in(argument, std::ios::binary);
            while (in.read(block.data(), std::streamsize(block.size())) || in.gcount() > 0)
                writeOut(std::string(block.data(), std::size_t(in.gcount())));
        } else if (verb == "forever") {
            for (unsigned long count = 1;; ++count) {
                std::string bytes = argument;
                const std::size_t mark = bytes.find("{n}");
                if (mark != std::string::npos)
                    bytes.replace(mark, 3, std::to_string(count));
                writeOut(bytes);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        } else if (verb == "pipesize") {
#ifdef F_SETPIPE_SZ
            fcntl(1, F_SETPIPE_SZ, std::atoi(argument.c_str()));
#endif
        } else if (verb == "block") {
            block.resize(std::max<std::size_t>(1, std::strtoul(argument.c_str(), nullptr, 10)));
        } else if (verb == "closeinput") {
            std::fclose(stdin);
        } else if (verb == "crash") {
            crash();
        } else if (verb == "exit") {
            return std::atoi(argument.c_str());
        }
    }
    return 0;
}
