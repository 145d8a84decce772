#include "test_util.h"

#include <arpa/inet.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace zt {

bool wait_until(const std::function<bool()>& cond, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

std::string bin_path(std::string_view program) {
    const char* dir = getenv("ZCON_BIN_DIR");
    return std::string(dir != nullptr ? dir : "./bin") + "/" + std::string(program);
}

std::string source_path(std::string_view relative) {
    const char* dir = getenv("ZCON_SOURCE_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/" + std::string(relative);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool read_available(int fd, std::string* out) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return true;
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return false;
        out->append(buf, static_cast<size_t>(n));
    }
}

int run_command(const std::string& command, std::string* out) {
    setenv("ZT_COMMAND", command.c_str(), 1);
    FILE* pipe = popen("timeout 60 sh -c \"$ZT_COMMAND\" 2>&1", "r");
    out->clear();
    char buf[4096];
    for (size_t n; pipe != nullptr && (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
        out->append(buf, n);
    const int ended = pipe != nullptr ? pclose(pipe) : -1;
    return WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
}

bool send_datagram(const std::string& path, std::string_view bytes) {
    UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const int buffer = 256 * 1024;  // room for the largest datagram the tests send
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    return sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(bytes.size());
}

int open_fds(pid_t pid) {
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return static_cast<int>(std::distance(fds, {}));
}

bool waits_for_input(pid_t pid) {
    const std::string call = read_file("/proc/" + std::to_string(pid) + "/syscall");
    return call.starts_with(std::to_string(SYS_read) + " 0x0 ") ||
           call.starts_with(std::to_string(SYS_ppoll) + " ") ||
           call.starts_with(std::to_string(SYS_futex) + " ");
}

Listener::Listener() : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd.get(), 8);
    socklen_t size = sizeof address;
    getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/zcon-test-XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "/nonexistent";
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::script(std::string_view name, const std::string& body) const {
    std::ofstream(file(name)) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(file(name), std::filesystem::perms(0755));
}

std::string term_tokens(std::string_view bytes) {
    static const char* const names[] = {"<cr>", "<lf>", "<bs>", "<bel>", "<lt>"};
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const size_t named = std::string_view("\r\n\b\a<").find(ch);
        if (named != std::string_view::npos) {
            out += names[named];
        } else if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "<x%02X>", c);
            out += hex;
        }
    }
    // ESC [ sequences: the erase below and the counted cursor moves by name,
    // any other whole.
    static const std::pair<std::regex, const char*> sequences[] = {
        {std::regex("<x1B>\\[J"), "<ceos>"},
        {std::regex("<x1B>\\[0*([1-9][0-9]*)A"), "<up$1>"},
        {std::regex("<x1B>\\[0*([1-9][0-9]*)B"), "<down$1>"},
        {std::regex("<x1B>\\[0*([1-9][0-9]*)C"), "<right$1>"},
        {std::regex("<x1B>\\[([0-9]*.)"), "<csi$1>"}};
    for (const auto& [sequence, name] : sequences)
        out = std::regex_replace(out, sequence, name);
    return out;
}

}  // namespace zt
