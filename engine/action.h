#pragma once
// The base of every configuration action, the type-name factory and the shared parameter splitting.
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class vmsi;

class Action {
public:
    explicit Action(std::wstring text) : text_(std::move(text)) {}
    Action(const Action&) = delete;
    Action& operator=(const Action&) = delete;

    virtual void execute(vmsi& session) = 0;
    virtual void rollback(vmsi& session) = 0;
    virtual bool setCritical(bool critical);
    virtual bool isCritical() const;
    virtual std::wstring getText() const;
    virtual ~Action();

    // The message of the factory's refusal of a type it does not know, followed by the type.
    static constexpr const wchar_t* unknownTypeMessage = L"Unable create CustomAction Provider ";

    // One action of `type` (exact, case-sensitive name) built from its parameter string.
    static std::unique_ptr<Action> CreateAction(const std::wstring& type, const std::wstring& parameters,
                                                const std::wstring& text, bool critical);

private:
    std::wstring text_;
    bool critical_ = true;
};

namespace actionfactory_detail {
using Factory = std::unique_ptr<Action> (*)(const std::wstring& parameters, const std::wstring& text);
// Makes CreateAction know one more type beyond the product's table: test builds add types that fail in ways
// no product type may. Call before any script is read.
void registerExtraType(const wchar_t* name, Factory factory);
}  // namespace actionfactory_detail

// The actions of one stage, in execution order; owns them.
using ActionList = std::vector<std::unique_ptr<Action>>;

// Fields of `text` between any of `separators`; runs of separators count as one and never make empty fields.
std::vector<std::wstring> split(const std::wstring& text, std::wstring_view separators);
// The same fields as split, as [start, end) offsets into `text` (the logged copy masks by them).
std::vector<std::pair<size_t, size_t>> splitOffsets(std::wstring_view text, std::wstring_view separators);

// The comma-separated fields of a per-type factory, checked against [minFields, maxFields]; a mismatch
// throws "Invalid arguments on call <className>".
std::vector<std::wstring> factoryFields(const std::wstring& parameters, const char* className, size_t minFields,
                                        size_t maxFields);
