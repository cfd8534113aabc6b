// mutex_counter: two threads each add 1 to a shared counter 250 times. The
// increment is a plain read, add and store; the mutex around it alone makes
// the total exact (500), because no thread can read the counter while another
// is between its read and its store.

#include <cstdio>
#include <cstring>
#include <pthread.h>

static int counter = 0;
static pthread_mutex_t lock;

static void* runner([[maybe_unused]] void* args)
{
    for (int i = 0; i < 250; ++i) {
        pthread_mutex_lock(&lock);
        int value = counter;
        counter = value + 1;
        pthread_mutex_unlock(&lock);
    }
    return nullptr;
}

// Starts a runner in *thread unless an earlier start has failed; a failure
// is kept in *error. Returns whether the thread runs (and must be joined).
static bool start(pthread_t* thread, int* error)
{
    if (*error == 0)
        *error = pthread_create(thread, nullptr, runner, nullptr);
    return *error == 0;
}

int main()
{
    pthread_t t1;
    pthread_t t2;
    int error = 0;

    pthread_mutex_init(&lock, nullptr);
    bool run1 = start(&t1, &error);
    bool run2 = start(&t2, &error);
    if (run1)
        pthread_join(t1, nullptr);
    if (run2)
        pthread_join(t2, nullptr);
    pthread_mutex_destroy(&lock);

    // A thread that never ran would leave the total short: no total then.
    if (error != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(error));
        return 1;
    }
    printf("Final value: %d\n", counter);
    return 0;
}
