// sem_counter: three threads each add 1 to a shared counter 250 times. The
// increment is a plain read, add and store; a semaphore of value 1 around it,
// used as a lock, alone makes the total exact (750): a thread waits on it
// before the read and posts it after the store, so only one thread at a time
// is in between.

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>

static int counter = 0;
static sem_t sem;

static void* runner([[maybe_unused]] void* args)
{
    for (int i = 0; i < 250; ++i) {
        sem_wait(&sem);
        int value = counter;
        counter = value + 1;
        sem_post(&sem);
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
    pthread_t t3;
    int error = 0;

    sem_init(&sem, 0, 1);  // shared by this process's threads only; value 1: free
    bool run1 = start(&t1, &error);
    bool run2 = start(&t2, &error);
    bool run3 = start(&t3, &error);
    if (run1)
        pthread_join(t1, nullptr);
    if (run2)
        pthread_join(t2, nullptr);
    if (run3)
        pthread_join(t3, nullptr);
    sem_destroy(&sem);

    // A thread that never ran would leave the total short: no total then.
    if (error != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(error));
        return 1;
    }
    printf("Final value: %d\n", counter);
    return 0;
}
