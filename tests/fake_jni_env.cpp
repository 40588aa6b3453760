#include "tests/fake_jni_env.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace test_support {

namespace {

using AnyFunction = void (*)();

static_assert(sizeof(AnyFunction) == sizeof(void*));
static_assert(sizeof(JNINativeInterface_) % sizeof(AnyFunction) == 0);
constexpr std::size_t SLOT_COUNT = sizeof(JNINativeInterface_) / sizeof(AnyFunction);

// One trap per slot, so the message names the function (by its index in the JNI function table).
template <std::size_t Slot>
[[noreturn]] void unexpectedCall() {
    std::fprintf(stderr, "FakeJniEnv: unexpected call to JNI function table slot %zu\n", Slot);
    std::abort();
}

template <std::size_t... Slots>
constexpr std::array<AnyFunction, sizeof...(Slots)> makeTraps(std::index_sequence<Slots...>) {
    return {&unexpectedCall<Slots>...};
}

constexpr std::array<AnyFunction, SLOT_COUNT> TRAPS =
    makeTraps(std::make_index_sequence<SLOT_COUNT>());

}  // namespace

FakeJniEnv::FakeJniEnv(std::string characters) : characters_(std::move(characters)) {
    // The slots have many different function types; copying the bytes fills them all alike.
    auto* slots = reinterpret_cast<unsigned char*>(&functions_);
    for (std::size_t slot = 0; slot < SLOT_COUNT; ++slot) {
        std::memcpy(slots + slot * sizeof(AnyFunction), &TRAPS.at(slot), sizeof(AnyFunction));
    }
    functions_.reserved0 = this;
    functions_.GetStringUTFChars = &getStringUtfChars;
    functions_.ReleaseStringUTFChars = &releaseStringUtfChars;
    env_.functions = &functions_;
}

FakeJniEnv& FakeJniEnv::of(JNIEnv* env) {
    return *static_cast<FakeJniEnv*>(env->functions->reserved0);
}

const char* JNICALL FakeJniEnv::getStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy) {
    FakeJniEnv& fake = of(env);
    ++fake.getCalls_;
    if (string != &fake.string_ || isCopy != nullptr) fake.gotAsExpected_ = false;
    if (fake.failGet_) return nullptr;
    fake.handedOut_ = fake.characters_;
    return fake.handedOut_.c_str();
}

void JNICALL FakeJniEnv::releaseStringUtfChars(JNIEnv* env, jstring string,
                                               const char* characters) {
    FakeJniEnv& fake = of(env);
    ++fake.releaseCalls_;
    if (string != &fake.string_ || characters != fake.handedOut_.c_str()) {
        fake.releasedAsHandedOut_ = false;
    }
    fake.handedOut_.assign(fake.handedOut_.size(), '\x7f');
    if (fake.onRelease_) fake.onRelease_();
}

}  // namespace test_support
