#pragma once
// "TestFault": an action type that only test builds know (the test program and the TarvoCA_faulttest DLL of
// the end-to-end crash scenario); the product's factory table has no such type. Its parameter names the
// hardware fault its own code raises: "AccessViolation" (in a leaf function) or "DivideByZero" (in a frame of
// its own). A local object of the faulting frame logs faultFrameUnwound when its destructor runs. Test builds
// also write the smallest dump type (a full-memory dump of a test process takes hundreds of megabytes) and
// spare the symbol handler its loading of every module's debug information.
inline constexpr const wchar_t* faultFrameUnwound = L"TestFault: the faulting frame was unwound";
