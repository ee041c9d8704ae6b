#pragma once
// The base of every configuration action, the type-name factory and the shared parameter splitting.
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/errors/vexception.h"

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

    // The fields a type's parameter string holds, as an author writes them ("FILE,SECTION,KEY,VALUE[,ENABLE]");
    // empty for a type the factory does not know.
    static std::wstring fieldSynopsis(const std::wstring& type);
    // The known type an unknown `type` was most likely meant to be (the same name in other case, else the
    // nearest by edit distance), or empty when none is near.
    static std::wstring closestType(const std::wstring& type);

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

// The factory's refusal of a type name it does not know.
class UnknownActionType : public vexception {
public:
    using vexception::vexception;
};

// A per-type factory's refusal of a parameter string with too few or too many fields.
class FieldCountError : public vexception {
public:
    FieldCountError(std::wstring message, ErrorFrame frame, size_t found)
        : vexception(std::move(message), std::move(frame)), found_(found) {}
    size_t found() const noexcept { return found_; }

private:
    size_t found_;
};

// The comma-separated fields of a per-type factory, checked against [minFields, maxFields]; a mismatch
// throws FieldCountError "Invalid arguments on call <className>".
std::vector<std::wstring> factoryFields(const std::wstring& parameters, const char* className, size_t minFields,
                                        size_t maxFields);
