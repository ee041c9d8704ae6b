#pragma once
// The stand-in impersonation service (tarvo_sidservice.exe beside the test program) on a pipe of its own,
// which the configuration's "HVC_pipe" names while the object lives; it records the bytes of every request.
#include <string>
#include <vector>

#include "tests/mgmtservice.h"
#include "tests/msisession.h"

class SidService {
public:
    explicit SidService(std::vector<std::wstring> arguments = {})
        : record_(tempDirectory() + L"\\requests.bin"), service_(withRecord(std::move(arguments), record_),
                                                                 MgmtService::Start::Listening, {}, program()),
          pipe_(L"HVC_pipe", service_.name()) {}

    // Every byte the clients sent so far.
    std::string record() const { return readBytes(record_); }
    MgmtService& process() { return service_; }
    static std::wstring program() { return programFolder() + L"\\tarvo_sidservice.exe"; }

private:
    static std::vector<std::wstring> withRecord(std::vector<std::wstring> arguments, const std::wstring& record) {
        arguments.insert(arguments.end(), {L"--record", record});
        return arguments;
    }
    std::wstring record_;
    MgmtService service_;
    ScopedConfigValue pipe_;
};
