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

// One thread: adds 1 to the counter 250 times, under the semaphore.
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

// Starts the three threads, waits for all, and prints the total.
int main()
{
    pthread_t t1;
    pthread_t t2;
    pthread_t t3;
    pthread_t* threads[] = {&t1, &t2, &t3};
    int started = 0;
    int error = 0;

    sem_init(&sem, 0, 1);  // shared by this process's threads only; value 1: free
    for (int i = 0; i < 3 && error == 0; ++i) {
        error = pthread_create(threads[i], nullptr, runner, nullptr);
        if (error == 0)
            ++started;
    }
    // Only threads that were really started can be joined; a handle whose
    // start failed holds no thread.
    for (int i = 0; i < started; ++i)
        pthread_join(*threads[i], nullptr);
    sem_destroy(&sem);

    // A thread that never ran would leave the total short: no total then.
    // The pthread calls return the error number instead of setting errno.
    if (error != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(error));
        return 1;
    }
    printf("Final value: %d\n", counter);
    return 0;
}
