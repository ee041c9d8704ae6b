#include <comdef.h>
#include <gtest/gtest.h>

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"
#include "tests/testutil.h"

namespace {

std::wstring systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0x400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = buffer ? buffer : L"";
    ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    return text;
}

// Whether `throwing` throws exactly E (not a relative of it), carrying `code` where E is an OS error.
template <typename E, typename Throwing>
bool throwsExactly(Throwing&& throwing, DWORD code) {
    try {
        throwing(code);
    } catch (const E& e) {
        if constexpr (std::is_base_of_v<vosexception, E>) return typeid(e) == typeid(E) && e.code() == code;
        return typeid(e) == typeid(E);
    } catch (...) {
    }
    return false;
}

void osError(DWORD code) { throwOsError(L"T", code, errorFrame(L"", "f")); }
void runtimeError(DWORD code) { throwRuntimeError(L"ctx", code); }
template <typename E> bool osErrorIs(DWORD code) { return throwsExactly<E>(osError, code); }
template <typename E> bool runtimeErrorIs(DWORD code) { return throwsExactly<E>(runtimeError, code); }

}  // namespace

// Callers react to exactly one condition: each code has its own type, and neighbouring codes are not confused.
TEST(ErrorModel, EachErrorCodeIsThrownAsItsOwnType) {
    const struct {
        DWORD code;
        bool (*is)(DWORD);
    } kinds[] = {
        {2, osErrorIs<VFileNotFoundException>}, {3, osErrorIs<VPathNotFoundException>},
        {5, osErrorIs<VAccessDeniedException>}, {14, osErrorIs<VOutOfMemoryException>},
        {32, osErrorIs<VSharingViolationException>}, {38, osErrorIs<VEOFException>},
        {80, osErrorIs<VFileExistsException>}, {122, osErrorIs<VInsufficientBufferException>},
        {183, osErrorIs<VAlreadyExistsException>}, {232, osErrorIs<VPipeClosedException>},
        {1060, osErrorIs<VServiceDoesNotExistException>}, {1072, osErrorIs<VServiceMarkedForDeleteException>},
        {1073, osErrorIs<VServiceAlreadyExistsException>}, {2245, osErrorIs<VPasswordTooShortException>},
        {87, osErrorIs<vosexception>},
        {2, runtimeErrorIs<RunTime::PathNotFoundException>}, {3, runtimeErrorIs<RunTime::PathNotFoundException>},
        {80, runtimeErrorIs<RunTime::AlreadyExistsException>}, {183, runtimeErrorIs<RunTime::AlreadyExistsException>},
        {1332, runtimeErrorIs<RunTime::NoneMappedException>}, {123, runtimeErrorIs<RunTime::InvalidPathException>},
        {0, runtimeErrorIs<std::runtime_error>}, {0xA0001234, runtimeErrorIs<std::runtime_error>},
    };
    for (const auto& kind : kinds) EXPECT_TRUE(kind.is(kind.code)) << "code " << kind.code;
}

TEST(ErrorModel, ErrorTextsCarryTheSystemSentenceTheCodeAndTheContext) {
    EXPECT_EQ(osErrorText(5, nullptr), systemText(5) + L" (Error code 5)");
    const std::wstring where = L"RenameDir('a', 'b')";
    EXPECT_EQ(osErrorText(5, &where), systemText(5) + L" (Error code 5) at RenameDir('a', 'b')");
    EXPECT_EQ(osErrorText(2, nullptr).find(L'\r'), std::wstring::npos);  // the sentence's CR LF goes
    EXPECT_EQ(osErrorText(0x2A3B4C5D, nullptr), L"Unknown error (Error code 708529245)");
    const std::wstring t = L"T";
    const vexception denied = thrownVexception([] { osError(5); });
    EXPECT_EQ(denied.message(), osErrorText(5, &t));
    ASSERT_EQ(denied.frames().size(), 1u);
    EXPECT_EQ(denied.frames()[0].function, "f");

    const auto runtimeText = [](DWORD code) { return runtimeFailure([&] { runtimeError(code); }); };
    EXPECT_EQ(runtimeFailure([] { throwRuntimeError(L"only context", 0); }), L"only context");
    EXPECT_EQ(runtimeText(5).rfind(L"ctx: (5) ", 0), 0u) << runtimeText(5);
    EXPECT_NE(runtimeText(5).back(), L'\n');
    EXPECT_EQ(runtimeText(0xA0001234), L"ctx: (-1610608076) Unknown error 0xA0001234");

    EXPECT_EQ(formatString(L"%s: %d/%s", std::wstring(L"a"), 42, std::wstring(L"b")), L"a: 42/b");
    EXPECT_EQ(formatString(L"%02d:%s", 7, std::wstring(2000, L'x')).size(), 2003u);
}

TEST(ErrorModel, AnnotationTurnsEveryKindIntoVexceptionWithOneMoreFrameWhoseTextIsMadeOnlyOnFailure) {
    auto annotated = [](auto thrower) -> vexception {
        try {
            annotate("g", L"Context", thrower);
        } catch (const vexception& e) {
            EXPECT_EQ(typeid(e), typeid(vexception));
            EXPECT_EQ(e.frames().back().function, "g");
            return e;
        }
        ADD_FAILURE() << "nothing thrown";
        return vexception(L"");
    };
    // A subclass passing one annotating operation arrives as a plain vexception with two frames.
    const vexception fromOs = annotated([] { osError(2); });
    ASSERT_EQ(fromOs.frames().size(), 2u);
    EXPECT_EQ(fromOs.frames()[1].text, L"Context");
    EXPECT_EQ(fromOs.message(), osErrorText(2, std::make_unique<std::wstring>(L"T").get()));
    vexception rendered(L"message", ErrorFrame{L"", "f", 10});
    EXPECT_EQ(rendered.addFrame(ErrorFrame{L"T", "g", 20}).toString(),
              L"message\n   at (f line 10)\n   at T(g line 20)");
    EXPECT_EQ(vexception(L"alone").toString(), L"alone");

    EXPECT_EQ(annotated([] { throw std::runtime_error("narrow text"); }).message(), L"narrow text");
    EXPECT_EQ(annotated([] { throw std::exception(); }).message(), L"Unknown exception");
    EXPECT_EQ(annotated([] { throw cwrpexception{0xC0000005}; }).message(), L"C structured exception: 0xc0000005");
    EXPECT_EQ(annotated([] { throw 42; }).message(), L"Unexpected error");
    const vexception com = annotated([] { throw _com_error(E_POINTER); });
    EXPECT_NE(com.message().find(L" (COM Error 80004003)\n   at Context"), std::wstring::npos) << com.message();
    EXPECT_EQ(com.frames().size(), 1u);  // the where-text goes into the message, the frame stays empty
    EXPECT_EQ(com.frames()[0].text, L"");

    // A frame's text is made only when something fails.
    int built = 0;
    const auto text = [&] {
        ++built;
        return std::wstring(L"expensive");
    };
    EXPECT_EQ(annotate("f", text, [] { return 7; }), 7);
    EXPECT_EQ(built, 0);
    EXPECT_NE(captureFailure("f", text, [] { throw 1; }).find(L"expensive(f line"), std::wstring::npos);
    EXPECT_EQ(built, 1);
}

namespace {

// The managed runtime's exception interface, as an error raised by managed code offers it.
struct ManagedExceptionInterface : IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) = 0;
};
const GUID IID_ManagedExceptionInterface = {0xb36b5c63, 0x42ef, 0x38bc, {0xa0, 0x7e, 0x0b, 0x34, 0xc9, 0x8f, 0x16, 0x4a}};

// Error information with a description; `managed` makes it answer the managed exception interface too.
class FakeErrorInfo : public IErrorInfo, public ManagedExceptionInterface {
public:
    FakeErrorInfo(const wchar_t* description, bool managed) : description_(description), managed_(managed) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IErrorInfo)
            *object = static_cast<IErrorInfo*>(this);
        else if (managed_ && iid == IID_ManagedExceptionInterface)
            *object = static_cast<ManagedExceptionInterface*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }  // lives on the test's stack

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override { *guid = GUID_NULL; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* text) override { *text = nullptr; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override { return set(text, description_); }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* text) override { *text = nullptr; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override { *context = 0; return S_OK; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) override {
        return set(text, L"System.InvalidOperationException: Bad state\n   at Managed.Call()");
    }

    ULONG references() const { return references_; }

private:
    static HRESULT set(BSTR* text, const wchar_t* value) {
        *text = ::SysAllocString(value);
        return S_OK;
    }
    const wchar_t* description_;
    bool managed_;
    ULONG references_ = 1;
};

}  // namespace

TEST(ErrorModel, ComTextNamesTheSystemSentenceTheCodeAndTheDescription) {
    FakeErrorInfo described(L"The widget broke", false), managed(L"Bad state", true), silent(L"", true);
    const std::wstring fail = systemText(static_cast<DWORD>(E_FAIL));
    const struct {
        DWORD hr;
        FakeErrorInfo* info;
        std::wstring message;  // before "\n   at Where(x)"
    } cases[] = {
        {0x80004005, nullptr, fail + L" (COM Error 80004005)"},
        {0x80004005, &described, fail + L" (COM Error 80004005, Description: The widget broke)"},
        // An error raised by managed code is shown with the managed exception's string form.
        {0x80004005, &managed, fail + L" (COM Interop Error 80004005, Description: System.InvalidOperationException: "
                                      L"Bad state\n   at Managed.Call())"},
        {0x80004005, &silent, fail + L" (COM Interop Error 80004005)"},
        // Codes the system has no sentence for.
        {0x8004FF01, nullptr, L"IDispatch error #64769 (COM Error 8004FF01)"},
        {0xA0001234, nullptr, L"Unknown error 0xA0001234 (COM Error A0001234)"},
    };
    for (const auto& c : cases) {
        if (c.info) c.info->AddRef();  // the COM error takes one reference
        const vexception e(_com_error(static_cast<HRESULT>(c.hr), c.info, false), L"Where(x)", "g", 20);
        EXPECT_EQ(e.toString(), c.message + L"\n   at Where(x)\n   at (g line 20)");
    }
    for (const FakeErrorInfo* info : {&described, &managed, &silent})
        EXPECT_EQ(info->references(), 1u);  // every reference taken was given back
}
