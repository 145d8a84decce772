#include "test_util.h"

#include <dirent.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zt {

bool wait_until(const std::function<bool()>& cond, Millis timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
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

std::string printable(std::string_view bytes) {
    static const char* const names[32] = {
        "<nul>", "<^A>", "<^B>", "<^C>", "<^D>", "<^E>",  "<^F>",  "<bel>", "<bs>", "<tab>", "<lf>",
        "<^K>",  "<^L>", "<cr>", "<^N>", "<^O>", "<^P>",  "<^Q>",  "<^R>",  "<^S>", "<^T>",  "<^U>",
        "<^V>",  "<^W>", "<^X>", "<^Y>", "<^Z>", "<esc>", "<^\\>", "<^]>",  "<^^>", "<^_>"};
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c == 0x1b && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t j = i + 2;
            while (j < bytes.size() && isdigit(static_cast<unsigned char>(bytes[j])))
                ++j;
            if (j < bytes.size()) {
                std::string count(bytes.substr(i + 2, j - i - 2));
                const char* name = nullptr;
                switch (bytes[j]) {
                    case 'A':
                        name = "up";
                        break;
                    case 'B':
                        name = "down";
                        break;
                    case 'C':
                        name = "right";
                        break;
                    case 'D':
                        name = "left";
                        break;
                    case 'J':
                        name = "ceos";
                        break;
                    default:
                        break;
                }
                if (name != nullptr) {
                    out += "<" + std::string(name) + count + ">";
                    i = j;
                    continue;
                }
            }
        }
        if (c < 32) {
            out += names[c];
            if (c == '\n') out += '\n';
        } else if (c >= 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "<%02x>", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/zcon-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
}

int open_fd_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count - 3;  // ".", ".." and the directory's own descriptor
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace zt
