// A JNIEnv that offers only what the library may use: GetStringUTFChars and
// ReleaseStringUTFChars on a FakeString. Any other function of the table reports which one was
// called and ends the program.
#pragma once

#include <jni.h>

#include <string>
#include <utility>

// A Java string as the library sees it, with a record of what was done with its characters.
struct FakeString {
    explicit FakeString(std::string text) : modifiedUtf8(std::move(text)) {}

    // What GetStringUTFChars yields: the string in the JVM's modified UTF-8.
    std::string modifiedUtf8;
    int gets = 0;
    int releases = 0;
    bool isCopyWasNull = true;
    bool releasedWhatWasGiven = true;
    // The characters handed out; overwritten when released, so that a later use of them would
    // see something else.
    std::string handedOut;
};

JNIEnv* fakeJniEnv();

jstring asJavaString(FakeString* string);
