#include "fuzz/replyfuzz.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <typeinfo>
#include <vector>

#include "runtime/errors/codepage.h"
#include "runtime/holder.h"
#include "runtime/logging/config.h"
#include "runtime/registry/registry.h"
#include "srvclient/srvclient.h"
#include "srvclient/vserializer.h"
#include "tests/watchdog.h"

namespace replyfuzz {

namespace {

using Random = std::mt19937;

std::uint32_t below(Random& random, std::uint32_t n) { return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(random); }

std::string word(std::uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

// One item of a generated reply and what reading it must give.
struct Item {
    enum Kind { Wide, Ansi, Integer, Report } kind;
    std::wstring text;
    std::uint32_t value = 0;
};

struct Sample {
    std::string bytes;
    std::vector<Item> items;
    bool exact = true;  // unmutated: reading must give the items
};

std::wstring randomText(Random& random, bool ascii) {
    std::wstring text(below(random, 24), L'\0');
    for (wchar_t& c : text) c = ascii ? static_cast<wchar_t>(L'a' + below(random, 26)) : static_cast<wchar_t>(below(random, 0xD800));
    return text;
}

void addItem(Sample& sample, Random& random, bool report) {
    Item item{report ? Item::Report : static_cast<Item::Kind>(below(random, 3)), {}, 0};
    if (item.kind == Item::Integer) {
        item.value = static_cast<std::uint32_t>(random());
        sample.bytes += word(4) + word(item.value);
    } else {
        const bool ansi = item.kind == Item::Ansi;
        item.text = randomText(random, ansi);
        if (item.kind == Item::Report) sample.bytes += word(vserializer::errorReport);
        if (ansi) {
            sample.bytes += word(static_cast<std::uint32_t>(item.text.size() + 1)) + '\1' + cstr(item.text);
        } else {
            sample.bytes += word(static_cast<std::uint32_t>(item.text.size() * 2 + 1)) + '\2';
            sample.bytes.append(reinterpret_cast<const char*>(item.text.data()), item.text.size() * 2);
        }
    }
    sample.items.push_back(item);
}

// A well-formed reply of one to three items, the last possibly an error report.
Sample validSample(Random& random, std::uint32_t maxItems) {
    Sample sample;
    const std::uint32_t items = 1 + below(random, maxItems);
    for (std::uint32_t i = 0; i < items; ++i) addItem(sample, random, i + 1 == items && below(random, 5) == 0);
    return sample;
}

void mutate(Sample& sample, Random& random) {
    sample.exact = false;
    std::string& b = sample.bytes;
    static const std::uint32_t lengths[] = {0, 1, 2, 3, 4, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF, 0x01000001};
    for (std::uint32_t n = 1 + below(random, 3); n > 0; --n) {
        switch (below(random, 6)) {
            case 0:
                if (!b.empty()) b[below(random, static_cast<std::uint32_t>(b.size()))] ^= static_cast<char>(1 << below(random, 8));
                break;
            case 1:
                if (!b.empty()) b.resize(below(random, static_cast<std::uint32_t>(b.size())));
                break;
            case 2:
                b.insert(below(random, static_cast<std::uint32_t>(b.size() + 1)), std::string(1 + below(random, 4), static_cast<char>(random())));
                break;
            case 3:
            case 4: {
                // A length word replaced: the special values, or the sample's own size give or take one.
                const std::uint32_t pick = below(random, 13);
                const std::uint32_t value = pick < 10 ? lengths[pick] : static_cast<std::uint32_t>(b.size()) + pick - 11;
                const std::uint32_t at = b.size() >= 4 ? below(random, static_cast<std::uint32_t>(b.size() - 3)) : 0;
                if (b.size() < 4) b.resize(4);
                std::memcpy(b.data() + at, &value, 4);
                break;
            }
            default: b.append(1 + below(random, 8), static_cast<char>(random()));
        }
    }
}

Sample randomSample(Random& random) {
    Sample sample;
    sample.exact = false;
    sample.bytes.resize(below(random, 48));
    for (char& c : sample.bytes) c = static_cast<char>(random());
    // Small first length words, so that random data also reaches the char-size and report paths.
    if (sample.bytes.size() >= 4 && below(random, 2)) {
        const std::uint32_t length = below(random, 2) ? vserializer::errorReport : below(random, 40);
        std::memcpy(sample.bytes.data(), &length, 4);
    }
    return sample;
}

Sample anySample(Random& random, std::uint32_t maxItems) {
    const std::uint32_t kind = below(random, 10);
    if (kind < 2) return randomSample(random);
    Sample sample = validSample(random, maxItems);
    if (kind >= 4) mutate(sample, random);
    return sample;
}

// The documented text `message` starts with, or null.
const wchar_t* documented(const std::wstring& message) {
    static const wchar_t* texts[] = {L"Unexpected end of data when read from serializer.",
                                     L"Unexpected end of data when read C-string from serializer.",
                                     L"Unsupported char size when read C-string from serializer.",
                                     L"Double exception on read from serializer",
                                     L"Unexpected size of integer when read from serializer.",
                                     L"Completed only ", L"The reply length ", L"The reply from pipe ",
                                     L"Pipe is finished"};
    for (const wchar_t* text : texts)
        if (message.starts_with(text)) return text;
    return nullptr;
}

std::string narrow(const std::wstring& text) { return cstr(text, CP_UTF8); }

// The outcome of a read that threw: empty when the exception is one the reader documents. An error report
// is a plain vexception without frames; its message is the report's, `report` when the reply was exact.
std::string judge(std::exception_ptr error, const std::optional<std::wstring>& report, std::string& outcome) {
    try {
        std::rethrow_exception(error);
    } catch (const vserializer::invalidprotocol& e) {
        const wchar_t* text = documented(e.message());
        if (!text) return "undocumented invalidprotocol: " + narrow(e.toString());
        outcome = narrow(text);
    } catch (const vexception& e) {
        if (typeid(e) == typeid(vexception) && e.frames().empty()) {
            outcome = "error report";
            if (report && e.message() != *report) return "wrong error report message: " + narrow(e.message());
            return {};
        }
        const wchar_t* text = documented(e.message());
        if (!text) return "undocumented vexception: " + narrow(e.toString());
        outcome = narrow(text);
    } catch (const std::exception& e) {
        return std::string("foreign exception: ") + e.what();
    } catch (...) {
        return "unknown exception";
    }
    return {};
}

// Reads each item the sample holds (or, for inexact samples, a random mix) and checks the values.
std::string readItems(vserializer::reader& reader, const Sample& sample, Random& random, std::string& outcome) {
    outcome = "value";
    const size_t reads = sample.exact ? sample.items.size() : 1 + below(random, 3);
    std::optional<std::wstring> report;
    try {
        for (size_t i = 0; i < reads; ++i) {
            const Item::Kind kind = sample.exact ? sample.items[i].kind : static_cast<Item::Kind>(below(random, 4));
            if (sample.exact && kind == Item::Report) report = sample.items[i].text;
            if (kind == Item::Integer) {
                const std::uint32_t value = reader.readInt32();
                if (sample.exact && value != sample.items[i].value) return "integer read wrong";
            } else if (kind == Item::Report) {
                reader.readBlock();
                if (sample.exact) return "error report not thrown";
            } else {
                const std::wstring text = reader.readString();
                if (sample.exact && text != sample.items[i].text) return "string read wrong";
            }
        }
    } catch (...) {
        std::string verdict = judge(std::current_exception(), report, outcome);
        if (verdict.empty() && sample.exact && !report) verdict = "an exact reply failed to read";
        return verdict;
    }
    return {};
}

std::string hex(const std::string& bytes) {
    std::string text;
    char digits[4];
    for (unsigned char c : bytes.substr(0, 64)) {
        std::snprintf(digits, sizeof digits, "%02x ", c);
        text += digits;
    }
    return text;
}

std::string failure(const char* run, std::uint32_t seed, std::uint32_t iteration, const std::string& what,
                    const std::string& bytes) {
    return std::string(run) + " seed " + std::to_string(seed) + " iteration " + std::to_string(iteration) + ": " +
           what + " (reply " + hex(bytes) + ")";
}

// Memory whose end is followed by an inaccessible page: a read past a reply's last byte faults.
class GuardedBuffer {
public:
    static constexpr size_t usable = 64 * 1024;
    GuardedBuffer() {
        base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, usable + page(), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(base_ + usable, page(), PAGE_NOACCESS, &old);
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    ~GuardedBuffer() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    const BYTE* place(const std::string& bytes) {
        BYTE* at = base_ + usable - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }

private:
    static size_t page() {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        return info.dwPageSize;
    }
    BYTE* base_;
};

// How the in-process service sends one reply.
enum class Framing { Normal, Truncated, Huge, Surplus, Close };

Framing anyFraming(Random& random) {
    const std::uint32_t pick = below(random, 100);
    if (pick < 80) return Framing::Normal;
    if (pick < 87) return Framing::Truncated;
    if (pick < 92) return Framing::Huge;
    if (pick < 97) return Framing::Surplus;
    return Framing::Close;
}

// A message-mode service answering every request with the next generated reply. It keeps an instance
// listening while it serves, so that a reconnecting client never waits.
class FuzzService {
public:
    FuzzService(std::wstring path, std::uint32_t seed) : path_(std::move(path)), random_(seed) {
        next_ = instance();
        thread_ = std::thread([this] { run(); });
    }
    FuzzService(const FuzzService&) = delete;
    FuzzService& operator=(const FuzzService&) = delete;
    ~FuzzService() {
        stop_ = true;
        // Wakes a wait for a client (an instance may be busy until the service notices its client left).
        while (!finished_) {
            tarvo::unique_file wake(
                ::CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            if (!wake) ::Sleep(20);
        }
        thread_.join();
    }
    // What the last reply must read as when the client got no exception (null when anything may come out).
    std::optional<std::wstring> expected() {
        std::lock_guard guard(lock_);
        return expected_;
    }
    std::string lastReply() {
        std::lock_guard guard(lock_);
        return last_;
    }

private:
    tarvo::unique_file instance() {
        return tarvo::unique_file(::CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_DUPLEX,
                                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                                     PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    }

    static bool readAll(HANDLE pipe, void* buffer, DWORD length) {
        DWORD done = 0;
        while (done < length) {
            DWORD count = 0;
            if (!::ReadFile(pipe, static_cast<BYTE*>(buffer) + done, length - done, &count, nullptr) &&
                ::GetLastError() != ERROR_MORE_DATA)
                return false;
            done += count;
        }
        return true;
    }

    static bool writeAll(HANDLE pipe, const std::string& bytes) {
        DWORD count = 0;
        return ::WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &count, nullptr) && count == bytes.size();
    }

    // Serves one request; false when the connection ends.
    bool serveOne(HANDLE pipe) {
        std::uint32_t length = 0;
        if (!readAll(pipe, &length, sizeof length) || length > 1024 * 1024) return false;
        std::string request(length, '\0');
        if (!readAll(pipe, request.data(), length)) return false;
        Sample sample = anySample(random_, 1);
        const Framing framing = anyFraming(random_);
        std::string frame;
        switch (framing) {
            case Framing::Normal: frame = word(static_cast<std::uint32_t>(sample.bytes.size())) + sample.bytes; break;
            case Framing::Truncated: frame = word(static_cast<std::uint32_t>(sample.bytes.size() + 1 + below(random_, 64))) + sample.bytes; break;
            case Framing::Huge: frame = word(vpipechannel::maxReplySize + 1 + below(random_, 0x7FFFFFFF)); break;
            case Framing::Surplus: frame = word(static_cast<std::uint32_t>(sample.bytes.size())) + sample.bytes + "zz"; break;
            case Framing::Close: break;
        }
        {
            std::lock_guard guard(lock_);
            last_ = frame;
            expected_.reset();
            if (framing == Framing::Normal && sample.exact && sample.items[0].kind != Item::Integer &&
                sample.items[0].kind != Item::Report)
                expected_ = sample.items[0].text;
        }
        if (framing == Framing::Close) return false;
        // The length word on its own now and then, as services that write item by item do.
        const bool split = frame.size() > 4 && below(random_, 2);
        if (!writeAll(pipe, split ? frame.substr(0, 4) : frame)) return false;
        if (split && !writeAll(pipe, frame.substr(4))) return false;
        return framing == Framing::Normal;
    }

    void run() {
        while (!stop_) {
            tarvo::unique_file current = std::move(next_);
            if (!::ConnectNamedPipe(current.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) break;
            next_ = instance();
            while (!stop_ && serveOne(current.get())) {
            }
            ::DisconnectNamedPipe(current.get());  // no flush: a client that gave up reads nothing more
        }
        finished_ = true;
    }

    std::wstring path_;
    Random random_;
    tarvo::unique_file next_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::mutex lock_;
    std::optional<std::wstring> expected_;
    std::string last_;
    std::thread thread_;
};

// The channel's pipe name as a configuration value for the run.
class PipeValue {
public:
    explicit PipeValue(const std::wstring& pipe) : name_(L"tarvo_fuzz_pipe_" + std::to_wstring(::GetCurrentProcessId())) {
        registry::Key key(HKEY_LOCAL_MACHINE, logconfig::key, KEY_SET_VALUE | KEY_WOW64_64KEY, false);
        registry::set(key.get(), name_, pipe);
    }
    PipeValue(const PipeValue&) = delete;
    PipeValue& operator=(const PipeValue&) = delete;
    ~PipeValue() { ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, logconfig::key, name_.c_str()); }
    const std::wstring& name() const { return name_; }

private:
    std::wstring name_;
};

}  // namespace

Report runReader(std::uint32_t seed, std::uint32_t count) {
    Report report;
    Random random(seed);
    GuardedBuffer memory;
    Watchdog watchdog("reader", seed);
    for (std::uint32_t i = 0; i < count && report.failure.empty(); ++i) {
        watchdog.progress(i);
        const Sample sample = anySample(random, 3);
        vserializer::reader reader(memory.place(sample.bytes), static_cast<std::uint32_t>(sample.bytes.size()));
        std::string outcome;
        if (std::string verdict = readItems(reader, sample, random, outcome); !verdict.empty())
            report.failure = failure("reader", seed, i, verdict, sample.bytes);
        ++report.outcomes[outcome];
    }
    return report;
}

Report runClient(std::uint32_t seed, std::uint32_t count) {
    const std::wstring pipe = L"tarvo-fuzz-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(seed);
    PipeValue value(pipe);
    FuzzService service(Con::pipePrefix + pipe, seed);
    vpipechannel::client client(logconfig::key, value.name(), true);
    vserializer::writer request;
    request.writeString(L"PRODUCT_ROOT_D");
    Watchdog watchdog("client", seed);
    Report report;
    for (std::uint32_t i = 0; i < count && report.failure.empty(); ++i) {
        watchdog.progress(i);
        std::string verdict, outcome = "value";
        try {
            const std::wstring text = client.query(TarvoSrvClient::getStringCommand, request).readString();
            const std::optional<std::wstring> expected = service.expected();
            if (expected && text != *expected) verdict = "reply read wrong";
        } catch (...) {
            verdict = judge(std::current_exception(), std::nullopt, outcome);
        }
        if (!verdict.empty()) report.failure = failure("client", seed, i, verdict, service.lastReply());
        ++report.outcomes[outcome];
    }
    return report;
}

}  // namespace replyfuzz
