// The link controller fed arbitrary bytes from the board, in arbitrary chunks,
// between ticks, clicks, opens and closes chosen by the input.
//
// The input is a list of operations. Each starts with one byte: the low four
// bits pick the operation, the high four bits are its argument a.
//
//   0  deliver the next a + 1 bytes              1  deliver the next a + 17 bytes
//   2  deliver a status frame: 7 bytes from the input, byte 0 forced to 0x22
//      unless a & 8, the checksum appended; split in two at a & 7 (0: whole)
//   3  a % 4 + 1 ticks                           4  click cell a + 1
//   5  click the status label of cell a + 1      6  all on (a even) / all off
//   7  the port button                           8  address text number a of the table
//   9  address text of a % 8 characters, one input byte each
//   10 port text a % 8 of the table; the next byte sets how the open fails
//   11 the device vanishes                       12 another receive notification
//   13, 14 one tick                              15 start a scan (a even) / cancel it
//
// Beside the controller runs a model built from the board's documented
// behaviour alone; after every operation the two must agree on every cell,
// every frame written, the port, the timer, the liveness count, the pending
// command, the scan and its findings, and the counts since the open.

#include <QCoreApplication>
#include <QString>
#include <algorithm>
#include <array>
#include <bitset>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "panel/link_controller.h"
#include "tests/support/fake_link.h"

namespace {

using tarnwick::fuzz::FuzzInput;
using tarnwick::link::LinkController;
using tarnwick::link::RelayState;
using tarnwick::protocol::Frame;
using Bytes = std::vector<std::uint8_t>;

struct NumberText {
    const char* text;
    int value;  // -1: not an entry value 0..255
};

// Address texts with the frame address each must give.
constexpr NumberText address_table[16] = {
    {"1", 1},   {"0", 0},     {"255", 255}, {"42", 42},         {"007", 7}, {"+3", 3},
    {"-0", 0},  {"256", -1},  {"-1", -1},   {"", -1},           {"1a", -1}, {" 1", -1},
    {"1 ", -1}, {"0x10", -1}, {"1.0", -1},  {"4294967297", -1},
};
constexpr NumberText port_table[8] = {
    {"1", 1}, {"0", 0}, {"255", 255}, {"16", 16}, {"256", -1}, {"x", -1}, {"", -1}, {"-1", -1},
};
// Characters of generated address texts; U+FF11 is a full-width 1.
const QString address_alphabet = QStringLiteral("0123456789+- a\uFF11");

// The entry rule: an optional sign, then decimal digits only, with a value
// in 0..255.
std::optional<int> entry_value(const QString& text) {
    qsizetype i = 0;
    const bool negative = !text.isEmpty() && text[0] == u'-';
    if (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) i = 1;
    if (i == text.size()) return std::nullopt;
    int value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > 255) value = 256;  // large stays large, without overflow
    }
    if (value > 255 || (negative && value != 0)) return std::nullopt;
    return value;
}

struct Command {
    std::uint8_t code, a, b;
};

// What the controller should have done, derived from the protocol alone.
struct Model {
    std::array<RelayState, 16> cells;
    std::deque<std::uint8_t> waiting;  // received, not yet read
    bool open = false;
    bool timer = true;  // the timer runs from the start
    bool buttons = true;
    bool port_entry = true;
    bool pending = false;
    Command slot{0, 0, 0};
    int live = 0;
    std::vector<Frame> written;
    std::size_t messages = 0;
    // A scan: the next address to ask.
    bool scanning = false;
    int scan_next = 0;
    std::vector<std::pair<int, int>> found;  // address, relays
    // Frames on the wire since the open that no answer has claimed yet, oldest
    // first: an answer claims the oldest one to the address it carries, for
    // as long as the link's patience lasts. Near its end the model cannot tell
    // which side of it the link's clock read; from then on the findings and
    // the count of answers from another address are not compared.
    struct Sent {
        Frame frame;
        std::chrono::steady_clock::time_point at;
    };
    std::deque<Sent> unanswered;
    // Addresses whose answers were seen to carry a switch's code: their
    // answers claim the oldest frame with the same code, and the older ones
    // to the address are claimed by none any more.
    std::bitset<256> echoing;
    bool timing_unsure = false;
    // Since the port opened.
    std::int64_t frames = 0, bytes = 0, accepted = 0, bad_checksum = 0, bad_first_byte = 0;
    std::int64_t other_address = 0;

    Model() { cells.fill(RelayState::unknown); }
    void paint_all(RelayState state) { cells.fill(state); }
    void closed_look() {
        scanning = false;
        paint_all(RelayState::port_closed);
        buttons = false;
        timer = false;
        port_entry = true;
    }
};

bool accepted(const Frame& f) {
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i) sum += f[i];
    return f[0] == 0x22 && sum % 256 == f[7];
}

// Checks every frame the host may put on the wire without knowing why it was
// sent: header, address, zero bytes, a known code with its data, checksum.
void check_well_formed(const Frame& f, int address) {
    TARNWICK_FUZZ_CHECK(f[0] == 0x55, "header %02x", f[0]);
    TARNWICK_FUZZ_CHECK(f[1] == address, "address byte %d, entry %d", f[1], address);
    TARNWICK_FUZZ_CHECK(f[3] == 0 && f[4] == 0, "bytes 3, 4: %02x %02x", f[3], f[4]);
    const bool relay = f[6] >= 1 && f[6] <= 16;
    bool known = false;
    switch (f[2]) {
        case 0x10:
            known = f[5] == 0x00 && f[6] == 0x00;
            break;
        case 0x11:
            known = f[5] == 0x00 && relay;
            break;
        case 0x21:
            known = f[5] == 0xFA && relay;
            break;
        case 0x13:
            known = (f[5] == 0x00 && f[6] == 0x00) || (f[5] == 0xFF && f[6] == 0xFF);
            break;
        default:
            break;
    }
    TARNWICK_FUZZ_CHECK(known, "code %02x with data %02x %02x", f[2], f[5], f[6]);
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i) sum += f[i];
    TARNWICK_FUZZ_CHECK(f[7] == sum % 256, "checksum %02x, sum %u", f[7], sum);
}

class Session {
  public:
    Session() : link_(port_, panel_, messages_, LinkController::Ticks::manual) {
        QObject::connect(&link_, &LinkController::scan_found,
                         [this](int address, int relays) { found_.emplace_back(address, relays); });
    }

    void run(FuzzInput& in) {
        while (!in.done()) {
            const std::uint8_t op = in.byte();
            step(op & 0x0F, op >> 4, in);
            compare();
        }
    }

  private:
    void step(int kind, int a, FuzzInput& in) {
        switch (kind) {
            case 0:
            case 1: {
                const auto chunk = in.bytes(static_cast<std::size_t>(a + 1 + 16 * kind));
                deliver(Bytes(chunk.begin(), chunk.end()));
                break;
            }
            case 2:
                deliver_frame(a, in);
                break;
            case 3:
                for (int i = 0; i <= a % 4; ++i) tick();
                break;
            case 4:
            case 5:
                click(a + 1, kind == 5);
                break;
            case 6:
                if (a % 2 == 0) {
                    link_.openall_Click();
                    queue({0x13, 0xFF, 0xFF});
                } else {
                    link_.closeall_Click();
                    queue({0x13, 0x00, 0x00});
                }
                break;
            case 7:
                port_button();
                break;
            case 8:
                panel_.address = QString::fromLatin1(address_table[a].text);
                address_ = address_table[a].value;
                TARNWICK_FUZZ_CHECK(entry_value(panel_.address).value_or(-1) == address_,
                                    "address table row %d", a);
                break;
            case 9: {
                QString text;
                for (int i = 0; i < a % 8; ++i)
                    text += address_alphabet[in.byte() % address_alphabet.size()];
                panel_.address = text;
                address_ = entry_value(text).value_or(-1);
                break;
            }
            case 10: {
                panel_.port = QString::fromLatin1(port_table[a % 8].text);
                port_number_ = port_table[a % 8].value;
                link_.port_text_changed();
                const std::uint8_t how = in.byte() % 4;
                using tarnwick::link::PortFault;
                using tarnwick::link::PortProblem;
                port_.next_failure.reset();
                if (how == 1) port_.next_failure = PortProblem{};
                if (how == 2)
                    port_.next_failure = PortProblem{"/dev/ttyS0", PortFault::busy, "busy"};
                if (how == 3)
                    port_.next_failure = PortProblem{"/dev/ttyS0", PortFault::permission, {}};
                break;
            }
            case 11:
                port_.vanish();
                if (model_.open) {
                    model_.open = false;
                    model_.closed_look();
                    // A loss, unlike the operator's close, drops the queued command.
                    model_.pending = false;
                    ++model_.messages;
                    drop_input();
                }
                break;
            case 12:
                // The port raises the notification again while 8 bytes wait.
                if (model_.waiting.size() >= 8) {
                    link_.MSComm1_OnComm();
                    notified();
                }
                break;
            case 15:
                if (a % 2 == 0) {
                    const bool started = link_.start_scan();
                    TARNWICK_FUZZ_CHECK(started == (model_.open && !model_.scanning),
                                        "scan started %d", started);
                    if (started) {
                        model_.scanning = true;
                        model_.scan_next = 0;
                        model_.found.clear();
                        found_.clear();
                    }
                } else {
                    link_.cancel_scan();
                    model_.scanning = false;
                }
                break;
            default:
                tick();
                break;
        }
    }

    // Bytes from the board; only an open line carries any.
    void deliver(const Bytes& bytes) {
        if (!model_.open || bytes.empty()) return;
        port_.deliver(bytes);
        model_.waiting.insert(model_.waiting.end(), bytes.begin(), bytes.end());
        if (model_.waiting.size() >= 8) notified();
    }

    void deliver_frame(int a, FuzzInput& in) {
        Frame f{};
        for (int i = 0; i < 7; ++i) f[i] = in.byte();
        if ((a & 8) == 0) f[0] = 0x22;
        unsigned sum = 0;
        for (int i = 0; i < 7; ++i) sum += f[i];
        f[7] = static_cast<std::uint8_t>(sum);
        const auto split = static_cast<std::size_t>(a & 7);
        if (split == 0) {
            deliver(Bytes(f.begin(), f.end()));
        } else {
            deliver(Bytes(f.begin(), f.begin() + split));
            deliver(Bytes(f.begin() + split, f.end()));
        }
    }

    // The controller reads 8 bytes at a notification and judges them.
    void notified() {
        Frame f{};
        for (auto& b : f) {
            b = model_.waiting.front();
            model_.waiting.pop_front();
        }
        model_.bytes += 8;
        if (!accepted(f)) {
            ++(f[0] != 0x22 ? model_.bad_first_byte : model_.bad_checksum);
            return;
        }
        ++model_.accepted;
        const int address = f[1];
        auto& unanswered = model_.unanswered;
        forget_unanswered();
        const auto asked = claimed(address, f[2]);
        const bool to_a_query = asked != unanswered.end() && asked->frame[2] == 0x10;
        if (asked == unanswered.end())
            ++model_.other_address;
        else
            unanswered.erase(asked);
        if (model_.scanning) {
            // No cell painted. A board is found under the address it carries,
            // once, when it answers a query to an address the scan has asked.
            const auto seen = [address](const std::pair<int, int>& b) {
                return b.first == address;
            };
            if (to_a_query && address < model_.scan_next &&
                std::none_of(model_.found.begin(), model_.found.end(), seen))
                model_.found.emplace_back(address, f[5] << 8 | f[6]);
            return;
        }
        for (int k = 0; k < 8; ++k) {
            paint(1 + k, (f[6] >> k) & 1);
            paint(9 + k, (f[5] >> k) & 1);
        }
        model_.live = 5;
    }

    std::deque<Model::Sent>::iterator claimed(int address, std::uint8_t code) {
        auto& unanswered = model_.unanswered;
        std::vector<std::size_t> mine;  // indexes of the frames to `address`
        for (std::size_t i = 0; i < unanswered.size(); ++i)
            if (unanswered[i].frame[1] == address) mine.push_back(i);
        if (mine.empty()) return unanswered.end();
        std::size_t pick = mine.front();
        for (std::size_t k = 0; k < mine.size(); ++k) {
            if (unanswered[mine[k]].frame[2] != code) continue;
            if (code != 0x10) model_.echoing.set(static_cast<std::size_t>(address));
            if (!model_.echoing.test(static_cast<std::size_t>(address))) break;
            // Drop the k frames before it, from the back so indexes hold.
            for (std::size_t j = k; j-- > 0;)
                unanswered.erase(unanswered.begin() + static_cast<long>(mine[j]));
            pick = mine[k] - k;
            break;
        }
        return unanswered.begin() + static_cast<long>(pick);
    }

    void forget_unanswered() {
        const auto now = std::chrono::steady_clock::now();
        const auto patience = LinkController::answer_patience;
        const auto margin = std::chrono::milliseconds(20);
        auto& unanswered = model_.unanswered;
        while (!unanswered.empty() && now - unanswered.front().at > patience + margin)
            unanswered.pop_front();
        for (const Model::Sent& q : unanswered)
            if (now - q.at > patience - margin) model_.timing_unsure = true;
    }

    void paint(int relay, bool on) {
        model_.cells[static_cast<std::size_t>(relay - 1)] =
            on ? RelayState::energized : RelayState::released;
    }

    void tick() {
        // A stopped timer does not tick.
        if (!model_.timer) return;
        const std::size_t before = port_.written.size();
        link_.Timer1_Timer();
        if (model_.live > 0)
            --model_.live;
        else
            model_.paint_all(RelayState::unknown);
        const Command c = model_.pending ? model_.slot : Command{0x10, 0x00, 0x00};
        // A scan asks the next address when no command waits; after the last
        // one it ends and this tick polls the entry's address again.
        int to = address_;
        if (model_.scanning && !model_.pending) {
            if (model_.scan_next < 256)
                to = model_.scan_next++;
            else
                model_.scanning = false;
        }
        model_.pending = false;
        if (model_.open && to >= 0) {
            Frame f{0x55, static_cast<std::uint8_t>(to), c.code, 0, 0, c.a, c.b, 0};
            unsigned sum = 0;
            for (int i = 0; i < 7; ++i) sum += f[i];
            f[7] = static_cast<std::uint8_t>(sum);
            model_.written.push_back(f);
            model_.unanswered.push_back({f, std::chrono::steady_clock::now()});
            ++model_.frames;
            model_.bytes += static_cast<std::int64_t>(model_.waiting.size());
            model_.waiting.clear();  // emptied before the write
        }
        const std::size_t n = port_.written.size();
        TARNWICK_FUZZ_CHECK(n == model_.written.size(),
                            "%zu frames written after this tick, expected %zu (address text "
                            "'%s', port open %d)",
                            n, model_.written.size(), qPrintable(panel_.address), model_.open);
        if (n > before) check_well_formed(port_.written.back(), to);
    }

    void click(int relay, bool on_label) {
        const RelayState cell = model_.cells[static_cast<std::size_t>(relay - 1)];
        if (on_label)
            link_.Label2_Click(relay);
        else
            link_.Picture1_Click(relay);
        const auto n = static_cast<std::uint8_t>(relay);
        if (cell == RelayState::energized) queue({0x11, 0x00, n});
        if (cell == RelayState::released) queue({0x21, 0xFA, n});
    }

    void queue(Command c) {
        model_.pending = true;
        model_.slot = c;
    }

    void port_button() {
        const bool was_open = model_.open;
        const qsizetype opens = port_.opened_devices.size();
        link_.open_comm_Click();
        if (was_open) {
            model_.open = false;
            model_.closed_look();
            drop_input();
            return;
        }
        if (port_number_ < 1) {
            // No number, or port 0, which has no default device: nothing is opened.
            model_.closed_look();
            ++model_.messages;
            TARNWICK_FUZZ_CHECK(port_.opened_devices.size() == opens,
                                "opened from a port text without a device");
            return;
        }
        const QString device = QStringLiteral("/dev/ttyS%1").arg(port_number_ - 1);
        TARNWICK_FUZZ_CHECK(
            port_.opened_devices.size() == opens + 1 && port_.opened_devices.back() == device,
            "port %d not asked for as %s", port_number_, qPrintable(device));
        if (port_.next_failure) {
            model_.closed_look();
            ++model_.messages;
            return;
        }
        model_.open = true;
        model_.frames = model_.bytes = model_.accepted = 0;
        model_.bad_checksum = model_.bad_first_byte = model_.other_address = 0;
        model_.unanswered.clear();
        model_.echoing.reset();
        model_.timing_unsure = false;
        model_.paint_all(RelayState::unknown);
        model_.buttons = true;
        model_.timer = true;
        model_.port_entry = false;
    }

    // A closed line holds nothing: what the fake still has is gone.
    void drop_input() {
        port_.input.clear();
        model_.waiting.clear();
    }

    void compare() {
        for (std::size_t i = 0; i < 16; ++i) {
            TARNWICK_FUZZ_CHECK(
                panel_.states[i] == model_.cells[i], "cell %zu state %d, expected %d", i + 1,
                static_cast<int>(panel_.states[i]), static_cast<int>(model_.cells[i]));
        }
        // Frames go out only from a tick, so any other operation left the
        // count alone.
        TARNWICK_FUZZ_CHECK(port_.written.size() == model_.written.size(),
                            "%zu frames written, expected %zu", port_.written.size(),
                            model_.written.size());
        for (; compared_ < model_.written.size(); ++compared_)
            TARNWICK_FUZZ_CHECK(port_.written[compared_] == model_.written[compared_],
                                "frame %zu differs", compared_);
        TARNWICK_FUZZ_CHECK(port_.is_open() == model_.open, "port open %d", port_.is_open());
        TARNWICK_FUZZ_CHECK(link_.timer_enabled() == model_.timer, "timer %d",
                            link_.timer_enabled());
        TARNWICK_FUZZ_CHECK(link_.live_count() == model_.live, "live count %d, expected %d",
                            link_.live_count(), model_.live);
        TARNWICK_FUZZ_CHECK(link_.pending() == model_.pending, "pending %d", link_.pending());
        if (model_.pending) {
            const auto c = link_.pending_command();
            TARNWICK_FUZZ_CHECK(
                c.code == model_.slot.code && c.a == model_.slot.a && c.b == model_.slot.b,
                "pending %02x %02x %02x", c.code, c.a, c.b);
        }
        TARNWICK_FUZZ_CHECK(port_.input == model_.waiting, "%zu bytes wait, expected %zu",
                            port_.input.size(), model_.waiting.size());
        TARNWICK_FUZZ_CHECK(static_cast<std::size_t>(messages_.texts.size()) == model_.messages,
                            "%lld messages", static_cast<long long>(messages_.texts.size()));
        TARNWICK_FUZZ_CHECK(panel_.buttons_enabled == model_.buttons, "all-relay buttons %d",
                            panel_.buttons_enabled);
        TARNWICK_FUZZ_CHECK(panel_.port_entry_enabled == model_.port_entry, "port entry %d",
                            panel_.port_entry_enabled);
        const QString caption =
            model_.open ? QStringLiteral("关闭串口") : QStringLiteral("打开串口");
        TARNWICK_FUZZ_CHECK(panel_.port_caption == caption, "caption '%s'",
                            qPrintable(panel_.port_caption));
        TARNWICK_FUZZ_CHECK(link_.scanning() == model_.scanning, "scanning %d", link_.scanning());
        if (!model_.timing_unsure) {
            TARNWICK_FUZZ_CHECK(found_ == model_.found, "%zu boards found, expected %zu",
                                found_.size(), model_.found.size());
            TARNWICK_FUZZ_CHECK(
                !model_.open ||
                    link_.counters().since_open.answers_other_address == model_.other_address,
                "%lld answers from another address, expected %lld",
                static_cast<long long>(link_.counters().since_open.answers_other_address),
                static_cast<long long>(model_.other_address));
        }
        const auto& since_open = link_.counters().since_open;
        if (model_.open) {
            TARNWICK_FUZZ_CHECK(since_open.frames_sent == model_.frames &&
                                    since_open.bytes_received == model_.bytes &&
                                    since_open.answers_accepted == model_.accepted &&
                                    since_open.rejected_checksum == model_.bad_checksum &&
                                    since_open.rejected_first_byte == model_.bad_first_byte,
                                "counts since the open: %lld frames, %lld bytes, %lld accepted, "
                                "%lld + %lld rejected; expected %lld, %lld, %lld, %lld + %lld",
                                static_cast<long long>(since_open.frames_sent),
                                static_cast<long long>(since_open.bytes_received),
                                static_cast<long long>(since_open.answers_accepted),
                                static_cast<long long>(since_open.rejected_checksum),
                                static_cast<long long>(since_open.rejected_first_byte),
                                static_cast<long long>(model_.frames),
                                static_cast<long long>(model_.bytes),
                                static_cast<long long>(model_.accepted),
                                static_cast<long long>(model_.bad_checksum),
                                static_cast<long long>(model_.bad_first_byte));
        }
        panel_.log.clear();  // only grows; nothing here reads it
    }

    tarnwick::test::FakePort port_;
    tarnwick::test::FakePanel panel_;
    tarnwick::test::RecordingMessages messages_;
    LinkController link_;
    Model model_;
    std::vector<std::pair<int, int>> found_;  // as the controller reported them
    std::size_t compared_ = 0;                // frames already found equal
    int address_ = 1;                         // the panel starts with address "1"
    int port_number_ = 1;                     // and port "1"
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // QObject and QTimer want an application object; it is never run. It gets
    // arguments of its own so that it cannot take any of libFuzzer's.
    static int argc = 1;
    static char name[] = "reception_fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // Port numbers mean /dev/ttyS<n-1> here, whatever the caller's environment.
    for (const char* n : {"0", "1", "16", "255"})
        qunsetenv((QByteArray("TARNWICK_COM") + n).constData());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    Session session;
    session.run(in);
    return 0;
}
