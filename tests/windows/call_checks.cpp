#include <cstdint>

#include "tests/windows/checks.h"
#include "tests/windows/fake_jni.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"
#include "tests/windows/stack_pops.h"

namespace {

#ifdef __i386__
std::uint32_t word(const void* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

const void* address(auto function) {
    return reinterpret_cast<const void*>(function);
}

void checkStackPops(const Library& library, const std::wstring& root) {
    // With no watch open the calls do nothing lasting: the start fails on a missing directory,
    // the stop finds nothing to stop, and the wait returns at once.
    FakeString missing{modifiedUtf8(root + L"\\missing-for-stack-check")};
    const std::uint32_t arguments[] = {word(fakeJniEnv()), 0, word(asJavaString(&missing))};
    expect(bytesPoppedBy(address(library.init), 12, arguments) == 12,
           "nativeInit pops its 12 bytes of arguments (__stdcall)");
    expect(bytesPoppedBy(address(library.stop), 8, arguments) == 8,
           "nativeStop pops its 8 bytes of arguments (__stdcall)");
    expect(bytesPoppedBy(address(library.waitForChange), 8, arguments) == 8,
           "nativeWaitForChange pops its 8 bytes of arguments (__stdcall)");
}
#endif

void checkMissingDirectory(const Library& library, const std::wstring& root) {
    FakeString missing{modifiedUtf8(root + L"\\missing")};
    expect(library.init(fakeJniEnv(), nullptr, asJavaString(&missing)) == JNI_FALSE,
           "nativeInit on a missing directory gives false");
    expect(missing.gets == 1 && missing.releases == 1,
           "the path's characters are taken once and released once");
    expect(missing.releasedWhatWasGiven, "the characters released are the ones handed out");
    expect(missing.isCopyWasNull, "GetStringUTFChars is asked for no is-copy flag");
}

}  // namespace

void checkCalls(const Library& library, const std::wstring& root) {
#ifdef __i386__
    checkStackPops(library, root);
#endif
    checkMissingDirectory(library, root);
}
