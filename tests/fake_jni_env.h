// A JNIEnv for calling the entry points without a JVM, in the Linux tests and in the Windows test
// program alike. It offers the only two functions they may use, GetStringUTFChars and
// ReleaseStringUTFChars, and records how they were called. Every other slot of the function table
// aborts the process with its slot number, so an entry point that reaches any further into the
// JVM fails loudly.
#pragma once

#include <jni.h>

#include <functional>
#include <string>
#include <utility>

namespace test_support {

class FakeJniEnv {
  public:
    // `characters` is what GetStringUTFChars hands out: the string in the JVM's modified UTF-8.
    explicit FakeJniEnv(std::string characters);
    FakeJniEnv(const FakeJniEnv&) = delete;
    FakeJniEnv& operator=(const FakeJniEnv&) = delete;

    JNIEnv* env() { return &env_; }
    jstring string() { return &string_; }

    // GetStringUTFChars returns NULL from now on, as the JVM does when it runs out of memory.
    void failGetStringUtfChars() { failGet_ = true; }
    // Runs inside ReleaseStringUTFChars, before it returns.
    void onRelease(std::function<void()> action) { onRelease_ = std::move(action); }

    int getCalls() const { return getCalls_; }
    int releaseCalls() const { return releaseCalls_; }
    // Every GetStringUTFChars was for this string and passed no is-copy flag.
    bool gotAsExpected() const { return gotAsExpected_; }
    // Every release gave back this string with the very pointer that was handed out. The
    // characters are overwritten when released, so that a later use of them reads something else.
    bool releasedAsHandedOut() const { return releasedAsHandedOut_; }

  private:
    static FakeJniEnv& of(JNIEnv* env);
    static const char* JNICALL getStringUtfChars(JNIEnv* env, jstring string, jboolean* isCopy);
    static void JNICALL releaseStringUtfChars(JNIEnv* env, jstring string, const char* characters);

    JNINativeInterface_ functions_{};
    JNIEnv env_{};
    _jstring string_;
    std::string characters_;
    std::string handedOut_;
    bool failGet_ = false;
    std::function<void()> onRelease_;
    int getCalls_ = 0;
    int releaseCalls_ = 0;
    bool gotAsExpected_ = true;
    bool releasedAsHandedOut_ = true;
};

}  // namespace test_support
