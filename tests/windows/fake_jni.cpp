#include "tests/windows/fake_jni.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

FakeString* fromJavaString(jstring string) {
    return reinterpret_cast<FakeString*>(string);
}

const char* JNICALL getStringUtfChars(JNIEnv*, jstring string, jboolean* isCopy) {
    FakeString* fake = fromJavaString(string);
    ++fake->gets;
    if (isCopy != nullptr) fake->isCopyWasNull = false;
    fake->handedOut = fake->modifiedUtf8;
    return fake->handedOut.c_str();
}

void JNICALL releaseStringUtfChars(JNIEnv*, jstring string, const char* characters) {
    FakeString* fake = fromJavaString(string);
    ++fake->releases;
    if (characters != fake->handedOut.c_str()) fake->releasedWhatWasGiven = false;
    fake->handedOut.assign(fake->handedOut.size(), '\x7f');
}

// The table's slots, counted in pointers; the first four are reserved, the rest are functions.
constexpr std::size_t SLOT_COUNT = sizeof(JNINativeInterface_) / sizeof(void*);

template <std::size_t SLOT>
void JNICALL unexpectedCall() {
    std::printf("FAIL - the library called the JNI function in slot %u\n",
                static_cast<unsigned>(SLOT));
    std::fflush(stdout);
    ExitProcess(3);
}

using AnyFunction = void(JNICALL*)();

template <std::size_t... SLOTS>
JNINativeInterface_ tableOfUnexpectedCalls(std::index_sequence<SLOTS...>) {
    const AnyFunction functions[] = {&unexpectedCall<SLOTS>...};
    JNINativeInterface_ table;
    static_assert(sizeof functions == sizeof table);
    std::memcpy(&table, functions, sizeof table);
    return table;
}

JNINativeInterface_ makeTable() {
    JNINativeInterface_ table = tableOfUnexpectedCalls(std::make_index_sequence<SLOT_COUNT>());
    table.GetStringUTFChars = &getStringUtfChars;
    table.ReleaseStringUTFChars = &releaseStringUtfChars;
    return table;
}

const JNINativeInterface_ table = makeTable();
JNIEnv env{&table};

}  // namespace

JNIEnv* fakeJniEnv() {
    return &env;
}

jstring asJavaString(FakeString* string) {
    return reinterpret_cast<jstring>(string);
}
