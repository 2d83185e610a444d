#include "mqtt/options.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "protocol/number_text.h"

namespace tarnwick::mqtt {

namespace {

bool node_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-';
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

// A regular file's text, at most `limit` bytes, or why it cannot be had. A
// FIFO, socket, device or directory is refused without reading it: the open
// does not wait for a writer (O_NONBLOCK), and the type is that of what was
// opened (fstat).
struct FileText {
    std::string text;
    std::string problem;
    mode_t mode = 0;
};
FileText read_small_file(const std::string& what, const std::string& path, std::size_t limit) {
    FileText result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        result.problem = "cannot read " + what + " " + path + ": " + std::strerror(errno);
        return result;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const char* kind = S_ISDIR(info.st_mode)                            ? "a directory"
                           : S_ISFIFO(info.st_mode)                         ? "a FIFO"
                           : S_ISSOCK(info.st_mode)                         ? "a socket"
                           : S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? "a device"
                                                                            : "not a file";
        result.problem = what + " " + path + " is " + kind + "; give a regular file";
        ::close(fd);
        return result;
    }
    result.mode = info.st_mode;
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && result.text.size() <= limit)
        result.text.append(buffer, static_cast<std::size_t>(n));
    const int read_error = n < 0 ? errno : 0;
    ::close(fd);
    if (read_error)
        result.problem = "cannot read " + what + " " + path + ": " + std::strerror(read_error);
    else if (result.text.size() > limit)
        result.problem = what + " " + path + " is larger than " + std::to_string(limit) +
                         " bytes; is it the right file?";
    return result;
}

// How many PEM certificates the text holds.
int certificate_count(const std::string& text) {
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), &BIO_free);
    int count = 0;
    while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        X509_free(cert);
        ++count;
    }
    return count;
}

// Whether the broker is this machine by its name: a password to it does not
// cross a network.
bool loopback(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

}  // namespace

std::optional<std::string> node_problem(std::string_view node) {
    if (node.empty()) return std::string("--node is empty; give the cabinet's id, e.g. cabinet-3");
    if (!std::all_of(node.begin(), node.end(), node_char))
        return "--node " + quoted(node) +
               " may hold only letters A-Z and a-z, digits, '_' and '-': it becomes part of "
               "every topic and id";
    return std::nullopt;
}

std::string client_id(std::string_view node) {
    return "tarnwick-" + std::string(node);
}

Parsed<std::vector<std::uint8_t>> parse_boards(std::string_view text) {
    Parsed<std::vector<std::uint8_t>> result;
    auto refuse = [&](const std::string& why) {
        result.problem = "--boards " + quoted(text) + ": " + why;
        return result;
    };
    std::vector<std::uint8_t> boards;
    std::vector<bool> seen(256, false);
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find(',', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view item = trimmed(text.substr(start, end - start));
        start = end + 1;
        if (item.empty()) return refuse("an empty item; separate addresses with single commas");

        const auto dash = item.find('-');
        const std::string_view first_text = trimmed(item.substr(0, dash));
        const std::string_view last_text =
            dash == std::string_view::npos ? first_text : trimmed(item.substr(dash + 1));
        const auto first = protocol::parse_unsigned(first_text);
        const auto last = protocol::parse_unsigned(last_text);
        if (!first || !last)
            return refuse(quoted(item) + " is no address 0..255 nor a range such as 20-23");
        if (*first > 255 || *last > 255)
            return refuse(quoted(item) + " goes beyond 255; addresses are 0..255");
        if (*last < *first) return refuse("the range " + quoted(item) + " counts down");
        for (long address = *first; address <= *last; ++address) {
            if (seen[static_cast<std::size_t>(address)])
                return refuse("address " + std::to_string(address) + " is given twice");
            seen[static_cast<std::size_t>(address)] = true;
            boards.push_back(static_cast<std::uint8_t>(address));
        }
    }
    result.value = std::move(boards);
    return result;
}

std::string boards_text(const std::vector<std::uint8_t>& boards) {
    std::string text;
    std::size_t i = 0;
    while (i < boards.size()) {
        std::size_t run = i;
        while (run + 1 < boards.size() && boards[run + 1] == boards[run] + 1) ++run;
        if (!text.empty()) text += ',';
        if (run - i >= 2) {
            text += std::to_string(boards[i]) + "-" + std::to_string(boards[run]);
            i = run + 1;
        } else {
            text += std::to_string(boards[i]);
            ++i;
        }
    }
    return text;
}

Parsed<BrokerAddress> parse_broker(std::string_view text, bool tls) {
    Parsed<BrokerAddress> result;
    BrokerAddress address;
    address.port = tls ? default_mqtts_port : default_mqtt_port;
    std::string_view port_text;
    bool has_port = false;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            result.problem = "--mqtt " + quoted(text) + ": an IPv6 address needs its closing ']'";
            return result;
        }
        address.host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                result.problem = "--mqtt " + quoted(text) + ": only \":PORT\" may follow ']'";
                return result;
            }
            port_text = rest.substr(1);
            has_port = true;
        }
    } else {
        const auto colon = text.rfind(':');
        if (colon != std::string_view::npos && text.find(':') != colon) {
            result.problem =
                "--mqtt " + quoted(text) + ": write an IPv6 address in brackets, e.g. [::1]:1883";
            return result;
        }
        address.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            port_text = text.substr(colon + 1);
            has_port = true;
        }
    }
    if (address.host.empty()) {
        result.problem = "--mqtt " + quoted(text) + ": no host; give HOST or HOST:PORT";
        return result;
    }
    if (has_port) {
        const auto port = protocol::parse_unsigned(port_text);
        if (!port || *port < 1 || *port > 65535) {
            result.problem = "--mqtt " + quoted(text) + ": the port must be a number 1..65535";
            return result;
        }
        address.port = static_cast<int>(*port);
    }
    result.value = std::move(address);
    return result;
}

Password read_password(const std::string& file, const char* variable_value) {
    Password result;
    if (file.empty()) {
        if (variable_value && *variable_value) result.value = std::string(variable_value);
        return result;
    }
    FileText read = read_small_file("the password file", file, 64 * 1024);
    if (!read.problem.empty()) {
        result.problem = std::move(read.problem);
        return result;
    }
    std::string& text = read.text;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
        result.problem = "the password file " + file + " is empty";
        return result;
    }
    result.value = std::move(text);
    // Readable by its group is the usual way to give a service user a secret
    // (0640 root:tarnwick); readable by everyone is not.
    if (read.mode & S_IROTH)
        result.warning = "the password file " + file +
                         " can be read by every user of this machine; chmod o-r it";
    return result;
}

std::optional<std::string> options_problem(const ClientOptions& options) {
    if (auto problem = node_problem(options.node)) return problem;
    if (options.broker.host.empty()) return std::string("no broker host");
    if (options.password && options.username.empty())
        return std::string("a password is given but no --username to go with it");
    if (options.insecure && options.tls_ca.empty())
        return std::string(
            "--insecure turns off the host-name check of TLS, but TLS is off: give --tls-ca");
    if (!options.tls_ca.empty()) {
        const FileText ca = read_small_file("the CA file", options.tls_ca, 1024 * 1024);
        if (!ca.problem.empty()) return ca.problem;
        if (certificate_count(ca.text) == 0)
            return "the CA file " + options.tls_ca + " holds no PEM certificate";
    }
    if (options.password && options.tls_ca.empty() && !options.allow_plaintext_password &&
        !loopback(options.broker.host))
        return "the password would cross the network to " + options.broker.host +
               " in plain text: give --tls-ca, or --allow-plaintext-password on a network "
               "you trust";
    if (options.keepalive_s < 5 || options.keepalive_s > 65535)
        return "--keepalive " + std::to_string(options.keepalive_s) + ": give 5..65535 seconds";
    if (options.retry_min_s < 1 || options.retry_max_s < options.retry_min_s)
        return std::string("the retry waits must be at least 1 s, the longest no shorter");
    return std::nullopt;
}

int retry_delay_s(int failures, int min_s, int max_s) {
    const long n = std::clamp(failures, 1, 1000);
    return static_cast<int>(std::min<long>(static_cast<long>(min_s) * n * n, max_s));
}

}  // namespace tarnwick::mqtt
