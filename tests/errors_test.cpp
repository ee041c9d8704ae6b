#include <comdef.h>
#include <gtest/gtest.h>

#include "runtime/errors/annotate.h"
#include "runtime/errors/format.h"
#include "runtime/errors/vexception.h"

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

template <typename E>
E thrownBy(DWORD code) {
    try {
        throwOsError(L"T", code, errorFrame(L"", "f"));
    } catch (const E& e) {
        return e;
    } catch (...) {
    }
    ADD_FAILURE() << "code " << code << " did not throw the expected type";
    return E(code, L"", ErrorFrame{});
}

template <typename E>
bool runtimeErrorIs(DWORD code) {
    try {
        throwRuntimeError(L"ctx", code);
    } catch (const E&) {
        return true;
    } catch (...) {
    }
    return false;
}

}  // namespace

TEST(ErrorModel, OsErrorCodesMapToTheirTypes) {
    EXPECT_EQ(thrownBy<VFileNotFoundException>(2).code(), 2u);
    EXPECT_EQ(thrownBy<VPathNotFoundException>(3).code(), 3u);
    EXPECT_EQ(thrownBy<VAccessDeniedException>(5).code(), 5u);
    EXPECT_EQ(thrownBy<VOutOfMemoryException>(14).code(), 14u);
    EXPECT_EQ(thrownBy<VSharingViolationException>(32).code(), 32u);
    EXPECT_EQ(thrownBy<VEOFException>(38).code(), 38u);
    EXPECT_EQ(thrownBy<VFileExistsException>(80).code(), 80u);
    EXPECT_EQ(thrownBy<VInsufficientBufferException>(122).code(), 122u);
    EXPECT_EQ(thrownBy<VAlreadyExistsException>(183).code(), 183u);
    EXPECT_EQ(thrownBy<VPipeClosedException>(232).code(), 232u);
    EXPECT_EQ(thrownBy<VServiceDoesNotExistException>(1060).code(), 1060u);
    EXPECT_EQ(thrownBy<VServiceMarkedForDeleteException>(1072).code(), 1072u);
    EXPECT_EQ(thrownBy<VServiceAlreadyExistsException>(1073).code(), 1073u);
    EXPECT_EQ(thrownBy<VPasswordTooShortException>(2245).code(), 2245u);
    // Neighbouring subclasses are distinct types, so a caller can react to exactly one of them.
    EXPECT_THROW(
        {
            try {
                throwOsError(L"T", 80, errorFrame(L"", "f"));
            } catch (const VAlreadyExistsException&) {
            }
        },
        VFileExistsException);
    const VAccessDeniedException denied = thrownBy<VAccessDeniedException>(5);
    EXPECT_EQ(denied.message(), osErrorText(5, std::make_unique<std::wstring>(L"T").get()));
    ASSERT_EQ(denied.frames().size(), 1u);
    EXPECT_EQ(denied.frames()[0].function, "f");
    // An unlisted code is a plain vosexception carrying it.
    try {
        throwOsError(L"T", 87, errorFrame(L"", "f"));
    } catch (const vosexception& e) {
        EXPECT_EQ(typeid(e), typeid(vosexception));
        EXPECT_EQ(e.code(), 87u);
    }
}

TEST(ErrorModel, OsErrorTextIsSystemSentenceCodeAndContext) {
    EXPECT_EQ(osErrorText(5, nullptr), systemText(5) + L" (Error code 5)");
    const std::wstring text = L"RenameDir('a', 'b')";
    EXPECT_EQ(osErrorText(5, &text), systemText(5) + L" (Error code 5) at RenameDir('a', 'b')");
    // The system sentence ends in CR LF; neither character survives.
    EXPECT_EQ(osErrorText(2, nullptr).find(L'\r'), std::wstring::npos);
    EXPECT_EQ(osErrorText(0x2A3B4C5D, nullptr), L"Unknown error (Error code 708529245)");
}

TEST(ErrorModel, RenderingListsEveryFrameInOrder) {
    vexception e(L"message", ErrorFrame{L"", "f", 10});
    e.addFrame(ErrorFrame{L"T", "g", 20});
    EXPECT_EQ(e.toString(), L"message\n   at (f line 10)\n   at T(g line 20)");
    EXPECT_EQ(vexception(L"alone").toString(), L"alone");
}

TEST(ErrorModel, AnnotationTurnsEveryKindIntoVexceptionWithOneMoreFrame) {
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
    vexception fromOs = annotated([] { throwOsError(L"T", 2, errorFrame(L"", "f")); });
    ASSERT_EQ(fromOs.frames().size(), 2u);
    EXPECT_EQ(fromOs.frames()[1].text, L"Context");
    EXPECT_EQ(fromOs.message(), osErrorText(2, std::make_unique<std::wstring>(L"T").get()));

    EXPECT_EQ(annotated([] { throw std::runtime_error("narrow text"); }).message(), L"narrow text");
    EXPECT_EQ(annotated([] { throw std::exception(); }).message(), L"Unknown exception");
    EXPECT_EQ(annotated([] { throw cwrpexception{0xC0000005}; }).message(),
              L"C structured exception: 0xc0000005");
    EXPECT_EQ(annotated([] { throw 42; }).message(), L"Unexpected error");
    const vexception com = annotated([] { throw _com_error(E_POINTER); });
    EXPECT_NE(com.message().find(L" (COM Error 80004003)\n   at Context"), std::wstring::npos) << com.message();
    EXPECT_EQ(com.frames().size(), 1u);  // the where-text goes into the message, the frame stays empty
    EXPECT_EQ(com.frames()[0].text, L"");
}

TEST(ErrorModel, LazyFrameTextIsBuiltOnlyOnFailure) {
    int built = 0;
    auto text = [&] {
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
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* text) override {
        *text = ::SysAllocString(description_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* text) override { *text = nullptr; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override { *context = 0; return S_OK; }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { *count = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_ToString(BSTR* text) override {
        *text = ::SysAllocString(L"System.InvalidOperationException: Bad state\n   at Managed.Call()");
        return S_OK;
    }

    ULONG references() const { return references_; }

private:
    const wchar_t* description_;
    bool managed_;
    ULONG references_ = 1;
};

vexception fromCom(HRESULT hr, FakeErrorInfo* info) {
    if (info) info->AddRef();  // the COM error takes one reference
    return vexception(_com_error(hr, info, false), L"Where(x)", "g", 20);
}

}  // namespace

TEST(ErrorModel, ComTextNamesTheSystemSentenceTheCodeAndTheDescription) {
    const std::wstring failSentence = systemText(static_cast<DWORD>(E_FAIL));
    EXPECT_EQ(fromCom(E_FAIL, nullptr).message(), failSentence + L" (COM Error 80004005)\n   at Where(x)");

    FakeErrorInfo described(L"The widget broke", false);
    const vexception withDescription = fromCom(E_FAIL, &described);
    EXPECT_EQ(withDescription.message(),
              failSentence + L" (COM Error 80004005, Description: The widget broke)\n   at Where(x)");
    EXPECT_EQ(withDescription.toString(), withDescription.message() + L"\n   at (g line 20)");

    // An error raised by managed code is shown with the managed exception's string form.
    FakeErrorInfo managed(L"Bad state", true);
    EXPECT_EQ(fromCom(E_FAIL, &managed).message(),
              failSentence +
                  L" (COM Interop Error 80004005, Description: System.InvalidOperationException: Bad state\n"
                  L"   at Managed.Call())\n   at Where(x)");
    FakeErrorInfo silent(L"", true);
    EXPECT_EQ(fromCom(E_FAIL, &silent).message(), failSentence + L" (COM Interop Error 80004005)\n   at Where(x)");
    EXPECT_EQ(described.references(), 1u);  // every reference taken was given back
    EXPECT_EQ(managed.references(), 1u);

    // Codes the system has no sentence for.
    EXPECT_EQ(fromCom(static_cast<HRESULT>(0x8004FF01), nullptr).message(),
              L"IDispatch error #64769 (COM Error 8004FF01)\n   at Where(x)");
    EXPECT_EQ(fromCom(static_cast<HRESULT>(0xA0001234), nullptr).message(),
              L"Unknown error 0xA0001234 (COM Error A0001234)\n   at Where(x)");
}

TEST(ErrorModel, RuntimeFamilyByCode) {
    EXPECT_TRUE(runtimeErrorIs<RunTime::PathNotFoundException>(2));
    EXPECT_TRUE(runtimeErrorIs<RunTime::PathNotFoundException>(3));
    EXPECT_TRUE(runtimeErrorIs<RunTime::AlreadyExistsException>(80));
    EXPECT_TRUE(runtimeErrorIs<RunTime::AlreadyExistsException>(183));
    EXPECT_TRUE(runtimeErrorIs<RunTime::NoneMappedException>(1332));
    EXPECT_TRUE(runtimeErrorIs<RunTime::InvalidPathException>(123));
    try {
        throwRuntimeError(L"only context", 0);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(typeid(e), typeid(std::runtime_error));
        EXPECT_STREQ(e.what(), "only context");
    }
    try {
        throwRuntimeError(L"ctx", 5);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("ctx: (5) ", 0), 0u) << e.what();
        EXPECT_NE(std::string(e.what()).back(), '\n');
    }
    try {
        throwRuntimeError(L"ctx", 0xA0001234);
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(typeid(e), typeid(std::runtime_error));
        EXPECT_STREQ(e.what(), "ctx: (-1610608076) Unknown error 0xA0001234");
    }
}

TEST(ErrorModel, FormatStringTakesWideStringsAndRejectsBadFormats) {
    EXPECT_EQ(formatString(L"%s: %d/%s", std::wstring(L"a"), 42, std::wstring(L"b")), L"a: 42/b");
    EXPECT_EQ(formatString(L"%s", std::wstring(2000, L'x')).size(), 2000u);
    EXPECT_EQ(formatString(L"%02d:%02d", 7, 5), L"07:05");
}
