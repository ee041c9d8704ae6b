// A stand-in for the panel's management service: serves the service's request frames on a named pipe,
// answers getString and componentInfo from a key=value file and the command line, and misbehaves on request.
//
//   tarvo_mgmtservice --pipe NAME [options]
//
//   the start-up options of every stand-in (tools/standin/standin.h: --pipe NAME, --delay, --start-event,
//   --ready-event, --until-stdin-closes), and
//   --values FILE         answers from FILE (UTF-8, read again for every request): lines "NAME=VALUE" answer
//                         getString(NAME); lines "component.PACKAGE=DIRECTORY" answer componentInfo(PACKAGE, 2)
//                         (a package without a line answers ""); empty lines and lines starting with # are skipped
//   --set NAME=VALUE      one more line of that file (repeatable; wins over the file)
//   --fault KIND          misbehave instead of answering:
//                           close         close the connection after reading the request, no reply
//                           error[=TEXT]  an error report carrying TEXT (default "Simulated service failure")
//                           empty         a reply of length 0
//                           charsize      a string whose char size is 3
//                           truncated     a reply length 10 bytes above what is sent, then close
//                           huge          the reply length 0x7FFFFFFF alone, then close
//                           extra         a correct reply followed by 3 more bytes in the same message
//                           stall         a reply length 90 bytes above what is sent, then silence until
//                                         the client leaves
//   --fault-count N       misbehave on the first N requests only (counted across connections; default: all)
//   --writes MODE         how replies are written: "one" message, "frame" (the length word, then the payload:
//                         the default) or "items" (every length word, char size and text on its own)
//
// Standard output gets one line per event: "listening \\.\pipe\NAME", "connection N", and
// "request N: getString(NAME) -> OUTCOME" or "request N: componentInfo(PACKAGE, KIND) -> OUTCOME", where
// OUTCOME is "value", "error" or "fault KIND". Malformed requests print "request N: malformed (...)" and are
// answered with an error report. Exit code 2 for bad arguments, 1 when the pipe cannot be made.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/errors/codepage.h"
#include "runtime/errors/format.h"
#include "runtime/holder.h"
#include "srvclient/pipes.h"
#include "srvclient/srvclient.h"
#include "srvclient/vserializer.h"
#include "tools/standin/standin.h"

namespace {

constexpr std::uint32_t maxRequest = 1024 * 1024;

struct Settings {
    standin::Startup startup;
    std::wstring valuesFile;
    std::map<std::wstring, std::wstring> set;
    std::wstring fault;
    std::wstring faultText = L"Simulated service failure";
    long long faultCount = -1;
    std::wstring writes = L"frame";
};

Settings settings;
std::atomic<long long> requestCount{0};
using standin::say;

void addLine(std::map<std::wstring, std::wstring>& values, const std::wstring& line) {
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos) return;
    values[line.substr(0, equals)] = line.substr(equals + 1);
}

std::map<std::wstring, std::wstring> currentValues() {
    std::map<std::wstring, std::wstring> values;
    if (!settings.valuesFile.empty()) {
        std::string bytes;
        if (FILE* file = _wfopen(settings.valuesFile.c_str(), L"rb")) {
            char chunk[4096];
            size_t n = 0;
            while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
            std::fclose(file);
        }
        if (bytes.starts_with("\xEF\xBB\xBF")) bytes.erase(0, 3);
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos) end = bytes.size();
            std::string line = bytes.substr(start, end - start);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line[0] != '#') addLine(values, wstr(line, CP_UTF8));
            start = end + 1;
        }
    }
    for (const auto& [name, value] : settings.set) values[name] = value;
    return values;
}

// A reply as the pieces the "items" mode writes one by one; the first piece is the reply's length word.
using Pieces = std::vector<std::string>;

std::string word(std::uint32_t value) { return std::string(reinterpret_cast<const char*>(&value), sizeof value); }

void addString(Pieces& pieces, const std::wstring& text, char charSize = 2) {
    pieces.push_back(word(static_cast<std::uint32_t>(text.size() * sizeof(wchar_t) + 1)));
    pieces.push_back(std::string(1, charSize));
    pieces.push_back(std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t)));
}

size_t payloadSize(const Pieces& pieces) {
    size_t size = 0;
    for (size_t i = 1; i < pieces.size(); ++i) size += pieces[i].size();
    return size;
}

Pieces stringReply(const std::wstring& text, char charSize = 2) {
    Pieces pieces{std::string()};
    addString(pieces, text, charSize);
    pieces[0] = word(static_cast<std::uint32_t>(payloadSize(pieces)));
    return pieces;
}

Pieces errorReply(const std::wstring& message) {
    Pieces pieces{std::string(), word(vserializer::errorReport)};
    addString(pieces, message);
    pieces[0] = word(static_cast<std::uint32_t>(payloadSize(pieces)));
    return pieces;
}

void send(Con::Pipe& pipe, const Pieces& pieces) {
    std::vector<std::string> writes;
    if (settings.writes == L"items") {
        writes = pieces;
    } else if (settings.writes == L"one") {
        writes.emplace_back();
        for (const std::string& piece : pieces) writes.back() += piece;
    } else {
        writes.push_back(pieces[0]);
        writes.emplace_back();
        for (size_t i = 1; i < pieces.size(); ++i) writes.back() += pieces[i];
    }
    for (const std::string& bytes : writes)
        if (!bytes.empty()) pipe.write(bytes.data(), static_cast<DWORD>(bytes.size()), true);
}

struct Request {
    std::wstring description;
    Pieces answer;
};

std::wstring guidText(const GUID& guid) {
    wchar_t text[64] = {};
    ::StringFromGUID2(guid, text, 64);
    return text;
}

Request answer(const std::string& frame) {
    GUID command{};
    std::memcpy(&command, frame.data(), sizeof command);
    vserializer::reader payload(reinterpret_cast<const BYTE*>(frame.data()) + sizeof command,
                                static_cast<std::uint32_t>(frame.size() - sizeof command));
    const auto values = currentValues();
    if (command == TarvoSrvClient::getStringCommand) {
        const std::wstring name = payload.readString();
        const auto found = values.find(name);
        if (found == values.end()) return {L"getString(" + name + L")", errorReply(L"Unknown value '" + name + L"'")};
        return {L"getString(" + name + L")", stringReply(found->second)};
    }
    if (command == TarvoSrvClient::componentInfoCommand) {
        const std::wstring package = payload.readString();
        const std::uint32_t kind = payload.readInt32();
        const std::wstring description = formatString(L"componentInfo(%s, %u)", package, kind);
        if (kind != TarvoSrvClient::componentDirectory)
            return {description, errorReply(formatString(L"Unsupported component information kind %u", kind))};
        const auto found = values.find(L"component." + package);
        return {description, stringReply(found == values.end() ? std::wstring() : found->second)};
    }
    return {L"command " + guidText(command), errorReply(L"Unknown command " + guidText(command))};
}

// Answers with the configured fault; false when the connection is to be closed.
bool misbehave(Con::Pipe& pipe, const Request& request) {
    const std::wstring& fault = settings.fault;
    if (fault == L"close") return false;
    if (fault == L"error") send(pipe, errorReply(settings.faultText));
    if (fault == L"empty") send(pipe, {word(0)});
    if (fault == L"charsize") send(pipe, stringReply(L"three", 3));
    if (fault == L"truncated") {
        Pieces pieces = request.answer;
        pieces[0] = word(static_cast<std::uint32_t>(payloadSize(pieces) + 10));
        send(pipe, pieces);
        return false;
    }
    if (fault == L"stall") {
        Pieces pieces = request.answer;
        pieces[0] = word(static_cast<std::uint32_t>(payloadSize(pieces) + 90));
        send(pipe, pieces);
        char ignored = 0;
        while (!pipe.finished()) pipe.read(&ignored, 1, false);
        return false;
    }
    if (fault == L"huge") {
        send(pipe, {word(0x7FFFFFFF)});
        return false;
    }
    if (fault == L"extra") {
        Pieces pieces = request.answer;
        pieces.back() += "xyz";
        pieces[0] = word(static_cast<std::uint32_t>(payloadSize(pieces) - 3));
        send(pipe, pieces);
    }
    return true;
}

void serve(Con::ServerPipe& pipe) {
    for (;;) {
        std::uint32_t length = 0;
        const DWORD got = pipe.read(&length, sizeof length, false);
        if (pipe.finished()) return;  // the client has gone
        if (got < sizeof length) pipe.read(reinterpret_cast<BYTE*>(&length) + got, sizeof length - got, true);
        const long long number = ++requestCount;
        if (length < sizeof(GUID) || length > maxRequest) {
            say(formatString(L"request %lld: malformed (frame length %u)", number, length));
            return;
        }
        std::string frame(length, '\0');
        pipe.read(frame.data(), length, true);
        Request request;
        try {
            request = answer(frame);
        } catch (const vexception& e) {
            say(formatString(L"request %lld: malformed (%s)", number, e.message()));
            send(pipe, errorReply(L"Malformed request: " + e.message()));
            continue;
        }
        const bool faulty = !settings.fault.empty() && (settings.faultCount < 0 || number <= settings.faultCount);
        if (faulty) {
            say(formatString(L"request %lld: %s -> fault %s", number, request.description, settings.fault));
            if (!misbehave(pipe, request)) return;
            continue;
        }
        const bool isError = request.answer.size() > 1 && request.answer[1] == word(vserializer::errorReport);
        say(formatString(L"request %lld: %s -> %s", number, request.description,
                         std::wstring(isError ? L"error" : L"value")));
        send(pipe, request.answer);
    }
}

void parse(int argc, wchar_t** argv) {
    standin::Arguments arguments(L"tarvo_mgmtservice", argc, argv);
    for (std::wstring option; arguments.next(option);) {
        if (settings.startup.take(option, arguments)) continue;
        if (option == L"--values") settings.valuesFile = arguments.value();
        else if (option == L"--set") addLine(settings.set, arguments.value());
        else if (option == L"--fault") {
            settings.fault = arguments.value();
            if (settings.fault.starts_with(L"error=")) {
                settings.faultText = settings.fault.substr(6);
                settings.fault = L"error";
            }
            static const wchar_t* kinds[] = {L"close", L"error", L"empty", L"charsize", L"truncated", L"huge", L"extra", L"stall"};
            if (std::find(std::begin(kinds), std::end(kinds), settings.fault) == std::end(kinds))
                arguments.fail(L"unknown fault " + settings.fault);
        } else if (option == L"--fault-count") settings.faultCount = std::wcstoll(arguments.value().c_str(), nullptr, 10);
        else if (option == L"--writes") {
            settings.writes = arguments.value();
            if (settings.writes != L"one" && settings.writes != L"frame" && settings.writes != L"items")
                arguments.fail(L"unknown write mode " + settings.writes);
        } else arguments.fail(L"unknown option " + option);
    }
    if (settings.startup.pipe.empty()) arguments.fail(L"--pipe NAME is required");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    parse(argc, argv);
    return standin::serve(L"tarvo_mgmtservice", settings.startup, serve);
}
