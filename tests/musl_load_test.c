// The library loaded into a C program on musl, as a JVM on Alpine loads it: dlopen, each entry
// point by its name, called with a JNIEnv that offers the two functions the library may use.
// Nothing else is in the process: no C++ runtime, no glibc. It watches a new directory, sees a
// file written in it, and stops.
// Usage: musl_load_test LIBRARY
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

// Generous: a wait that returns at all returns at once.
static const int WAIT_SECONDS = 60;

typedef jboolean(JNICALL* InitFunction)(JNIEnv*, jclass, jstring);
typedef void(JNICALL* CallFunction)(JNIEnv*, jclass);

static CallFunction waitForChange;
static CallFunction stop;

static char directory[] = "/tmp/windowsfscm-musl-XXXXXX";
// jni.h leaves the objects' type incomplete: any address stands for the one string.
static char string_object;
#define THE_STRING ((jstring)&string_object)
static int characters_handed_out;
static int characters_given_back;

static const char* JNICALL get_string_utf_chars(JNIEnv* env, jstring string, jboolean* is_copy) {
    (void)env;
    if (string != THE_STRING || is_copy != NULL) return NULL;
    ++characters_handed_out;
    return directory;
}

static void JNICALL release_string_utf_chars(JNIEnv* env, jstring string, const char* chars) {
    (void)env;
    if (string == THE_STRING && chars == directory) ++characters_given_back;
}

static int passed;
static int failed;

static void check(int ok, const char* what) {
    printf("%s - %s\n", ok ? "ok" : "FAIL", what);
    if (ok) {
        ++passed;
    } else {
        ++failed;
    }
}

// A wait for a change on a thread of its own, which the main thread waits for in turn.
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t returned = PTHREAD_COND_INITIALIZER;
static int wait_returned;

static void* wait_on_its_own(void* unused) {
    (void)unused;
    waitForChange(NULL, NULL);
    pthread_mutex_lock(&lock);
    wait_returned = 1;
    pthread_cond_signal(&returned);
    pthread_mutex_unlock(&lock);
    return NULL;
}

static void begin_wait(pthread_t* waiter) {
    wait_returned = 0;
    pthread_create(waiter, NULL, wait_on_its_own, NULL);
}

// Whether the wait begun last returns within WAIT_SECONDS. The thread is joined only then.
static int wait_returns(pthread_t waiter) {
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += WAIT_SECONDS;
    pthread_mutex_lock(&lock);
    int error = 0;
    while (!wait_returned && error != ETIMEDOUT)
        error = pthread_cond_timedwait(&returned, &lock, &deadline);
    int done = wait_returned;
    pthread_mutex_unlock(&lock);
    if (done) pthread_join(waiter, NULL);
    return done;
}

static char file[sizeof directory + 8];

static int write_file(void) {
    snprintf(file, sizeof file, "%s/file", directory);
    int fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return 0;
    int written = write(fd, "change", 6) == 6;
    close(fd);
    return written;
}

static int open_descriptors(void) {
    DIR* listing = opendir("/proc/self/fd");
    if (listing == NULL) return -1;
    int count = 0;
    while (readdir(listing) != NULL)
        ++count;
    closedir(listing);
    return count;
}

// The entry point for `method`, as the JVM finds it; ISO C converts no object pointer to a
// function pointer, so the callers copy it into one.
static void* entry_point(void* library, const char* method) {
    char name[128];
    snprintf(name, sizeof name,
             "Java_talvo_index_windows_1native_WindowsFilesystemChangeMonitor_%s", method);
    return dlsym(library, name);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s LIBRARY\n", argv[0]);
        return 2;
    }
    if (mkdtemp(directory) == NULL) {
        perror("mkdtemp");
        return 1;
    }
    // Every symbol is bound at the load, so one that musl lacks fails here.
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    check(library != NULL, "the library loads");
    if (library == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    InitFunction init = NULL;
    void* found = entry_point(library, "nativeInit");
    memcpy(&init, &found, sizeof init);
    found = entry_point(library, "nativeWaitForChange");
    memcpy(&waitForChange, &found, sizeof waitForChange);
    found = entry_point(library, "nativeStop");
    memcpy(&stop, &found, sizeof stop);
    check(init != NULL && waitForChange != NULL && stop != NULL, "it has the three entry points");
    if (init == NULL || waitForChange == NULL || stop == NULL) return 1;

    struct JNINativeInterface_ functions;
    memset(&functions, 0, sizeof functions);
    functions.GetStringUTFChars = get_string_utf_chars;
    functions.ReleaseStringUTFChars = release_string_utf_chars;
    JNIEnv env = &functions;

    int descriptors = open_descriptors();
    check(init(&env, NULL, THE_STRING) == JNI_TRUE, "a watch starts on a new directory");
    check(characters_handed_out == 1 && characters_given_back == 1,
          "the path's characters are taken once and given back once");

    pthread_t waiter;
    begin_wait(&waiter);
    check(write_file(), "a file is written in the directory");
    check(wait_returns(waiter), "the wait returns on the change");

    begin_wait(&waiter);
    stop(NULL, NULL);
    check(wait_returns(waiter), "the stop ends the next wait");
    // That wait may have returned on the write's later events instead; this one then takes the
    // stop. Either way the watch is released after it.
    waitForChange(NULL, NULL);
    check(open_descriptors() == descriptors, "the watch gives back its descriptors");

    check(dlclose(library) == 0, "the library unloads");
    unlink(file);
    rmdir(directory);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
