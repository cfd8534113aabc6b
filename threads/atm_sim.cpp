// atm_sim: five users, each a thread, take turns at one ATM. The ATM is a
// mutex; a user holds it for the whole of a two-second turn, so the two lines
// of one turn always stand together and no two turns overlap. Which user gets
// the ATM next is up to the scheduler.

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

static pthread_mutex_t atm;

// One user: waits for the ATM, uses it for two seconds, leaves.
static void* user(void* arg)
{
    int id = *static_cast<int*>(arg);

    pthread_mutex_lock(&atm);
    printf("\nUser %d is accessing the ATM\n", id);
    sleep(2);
    printf("User %d has finished using the ATM\n", id);
    pthread_mutex_unlock(&atm);
    return nullptr;
}

// Starts the five users, waits for them all, and says when they are done.
int main()
{
    pthread_t users[5];
    int ids[5];  // lives in main's frame, which outlasts every user: all are joined below
    int started = 0;
    int error = 0;

    printf("Starting simulation...\n");
    pthread_mutex_init(&atm, nullptr);
    for (int i = 0; i < 5 && error == 0; ++i) {
        ids[i] = i + 1;
        error = pthread_create(&users[i], nullptr, user, &ids[i]);
        if (error == 0)
            ++started;
    }
    // Only threads that were really started can be joined; a handle whose
    // start failed holds no thread.
    for (int i = 0; i < started; ++i)
        pthread_join(users[i], nullptr);
    pthread_mutex_destroy(&atm);

    // The pthread calls return the error number instead of setting errno.
    if (error != 0) {
        fprintf(stderr, "pthread_create: %s\n", strerror(error));
        return 1;
    }
    printf("\nSimulation complete.");
    return 0;
}
