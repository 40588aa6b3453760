#include <cstdint>

#include "tests/fake_jni_env.h"
#include "tests/windows/checks.h"
#include "tests/windows/report.h"
#include "tests/windows/scratch.h"
#include "tests/windows/stack_pops.h"

namespace {

std::uint32_t word(const void* pointer) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

const void* address(auto function) {
    return reinterpret_cast<const void*>(function);
}

}  // namespace

void checkStackPops(const Library& library, const std::wstring& root) {
    // With no watch open the calls do nothing lasting: the start fails on a missing directory,
    // the stop finds nothing to stop, and the wait returns at once.
    test_support::FakeJniEnv missing(modifiedUtf8(root + L"\\missing-for-stack-check"));
    const std::uint32_t arguments[] = {word(missing.env()), 0, word(missing.string())};
    expect(bytesPoppedBy(address(library.init), 12, arguments) == 12,
           "nativeInit pops its 12 bytes of arguments (__stdcall)");
    expect(bytesPoppedBy(address(library.stop), 8, arguments) == 8,
           "nativeStop pops its 8 bytes of arguments (__stdcall)");
    expect(bytesPoppedBy(address(library.waitForChange), 8, arguments) == 8,
           "nativeWaitForChange pops its 8 bytes of arguments (__stdcall)");
}
