#include "tests/fake_jni_env.h"
#include "tests/windows/checks.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"

void checkMissingDirectory(const Library& library, const std::wstring& root) {
    test_support::FakeJniEnv missing(modifiedUtf8(root + L"\\missing"));
    expect(library.init(missing.env(), nullptr, missing.string()) == JNI_FALSE,
           "nativeInit on a missing directory gives false");
    expect(missing.getCalls() == 1 && missing.releaseCalls() == 1,
           "the path's characters are taken once and released once");
    expect(missing.releasedAsHandedOut(), "the characters released are the ones handed out");
    expect(missing.gotAsExpected(), "GetStringUTFChars is asked for no is-copy flag");
}
