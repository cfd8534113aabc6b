// mutex_counter: two threads each add 1 to a shared counter 250 times. The
// increment is a plain read, add and store; the mutex around it alone makes
// the total exact (500), because no thread can read the counter while another
// is between its read and its store.

#include <cstdio>
#include <cstring>
#include <pthread.h>

static int counter = 0;
static pthread_mutex_t lock;

// One thread: adds 1 to the counter 250 times, under the lock.
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

// Starts the two threads, waits for both, and prints the total.
int main()
{
    pthread_t t1;
    pthread_t t2;
    pthread_t* threads[] = {&t1, &t2};
    int started = 0;
    int error = 0;

    pthread_mutex_init(&lock, nullptr);
    for (int i = 0; i < 2 && error == 0; ++i) {
        error = pthread_create(threads[i], nullptr, runner, nullptr);
        if (error == 0)
            ++started;
    }
    // Only threads that were really started can be joined; a handle whose
    // start failed holds no thread.
    for (int i = 0; i < started; ++i)
        pthread_join(*threads[i], nullptr);
    pthread_mutex_destroy(&lock);

    // A thread that never ran would leave the total short: no total then.
    // The pthread calls return the error number instead of setting errno.
    if (error != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(error));
        return 1;
    }
    printf("Final value: %d\n", counter);
    return 0;
}
