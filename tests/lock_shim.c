/* Loaded with LD_PRELOAD into a thread program under test, this stands
 * between the program and its locks: pthread_mutex_lock, _trylock and
 * _unlock, sem_wait, sem_trywait and sem_post (each then calls on to the
 * real one, ThreadSanitizer's where the program has it). A fault of locking
 * shows only when two threads meet at the lock, which a short run on a busy
 * machine may never make happen; this makes them meet, and says what it
 * sees:
 *   LOCK_SHIM_LOG=path   created at the start: the test's proof that the shim
 *                        is in place (ld.so only warns when it cannot load it).
 *   LOCK_SHIM_HOLD=n     the thread that gets a lock or semaphore, on the
 *                        first n times any thread gets one, stays there until
 *                        another thread's attempt at it has come back (it got
 *                        in, or its trylock failed) or blocks: so a second
 *                        thread always arrives while the first is inside.
 *   LOCK_SHIM_HAND_OVER=1  a thread that gives back a mutex another thread
 *                        waits for stays in pthread_mutex_unlock until some
 *                        thread has gone into sleep(): the next holder has
 *                        begun its turn before anything after the unlock runs.
 * And on standard error, each once ("lock_shim: ..."), what no right use of
 * a lock does: a semaphore that still lets a thread in while one is inside
 * (its value above 0 after a wait, above 1 after a post) and a mutex
 * unlocked by a thread that does not hold it.
 * The shim's own bookkeeping uses atomics and nanosleep alone, none of which
 * ThreadSanitizer takes for synchronisation: it orders nothing between the
 * program's threads, so every race the program has stays a race. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int (*next_mutex_lock)(pthread_mutex_t *);
static int (*next_mutex_trylock)(pthread_mutex_t *);
static int (*next_mutex_unlock)(pthread_mutex_t *);
static int (*next_sem_wait)(sem_t *);
static int (*next_sem_trywait)(sem_t *);
static int (*next_sem_post)(sem_t *);
static unsigned (*next_sleep)(unsigned);
/* libc's own, not an interceptor's: looking at a value is no synchronisation. */
static int (*libc_sem_getvalue)(sem_t *, int *);

static int holds_left;           /* LOCK_SHIM_HOLD */
static int hand_over;            /* LOCK_SHIM_HAND_OVER */
static int blocked;              /* threads now inside a blocking lock or wait */
static unsigned long came_back;  /* attempts (lock, trylock, wait, trywait) that have returned */
static unsigned long sleeps;     /* calls of sleep() begun */

/* A function's address from dlsym, without the cast ISO C forbids. */
#define FIND(pointer, handle, name) (*(void **)&(pointer) = dlsym((handle), (name)))

static void resolve(void)
{
    if (next_sem_post != NULL)
        return;
    FIND(next_mutex_lock, RTLD_NEXT, "pthread_mutex_lock");
    FIND(next_mutex_trylock, RTLD_NEXT, "pthread_mutex_trylock");
    FIND(next_mutex_unlock, RTLD_NEXT, "pthread_mutex_unlock");
    FIND(next_sem_wait, RTLD_NEXT, "sem_wait");
    FIND(next_sem_trywait, RTLD_NEXT, "sem_trywait");
    FIND(next_sleep, RTLD_NEXT, "sleep");
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    FIND(libc_sem_getvalue, libc != NULL ? libc : RTLD_NEXT, "sem_getvalue");
    int (*post)(sem_t *);
    FIND(post, RTLD_NEXT, "sem_post");
    __atomic_store_n(&next_sem_post, post, __ATOMIC_RELEASE);
}

__attribute__((constructor)) static void start(void)
{
    resolve();
    const char *hold = getenv("LOCK_SHIM_HOLD");
    holds_left = hold != NULL ? atoi(hold) : 0;
    hand_over = getenv("LOCK_SHIM_HAND_OVER") != NULL;
    const char *log = getenv("LOCK_SHIM_LOG");
    if (log != NULL) {
        int fd = open(log, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
    }
}

static void note(int *said, const char *text)
{
    if (__atomic_exchange_n(said, 1, __ATOMIC_RELAXED))
        return;
    syscall(SYS_write, 2, "lock_shim: ", 11);
    syscall(SYS_write, 2, text, strlen(text));
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void pause_briefly(void)
{
    struct timespec ts = {0, 100000};
    nanosleep(&ts, NULL);
}

/* How long a hold lasts at most: far longer than a second thread takes to
 * arrive, even under ThreadSanitizer on a busy machine (milliseconds); a
 * program left with one thread (the others ended, or never started) loses
 * no more than this at each of its holds. */
static const double hold_limit = 1;

/* Called by the thread that just got sem (or, sem null, a mutex, which no
 * other thread can get now): on the first holds, stays until another
 * thread's attempt has come back or blocks. A thread blocked on a mutex
 * held here, or on a semaphore at 0, cannot get in: waiting on would only
 * lose time. */
static void hold_inside(sem_t *sem)
{
    if (__atomic_load_n(&holds_left, __ATOMIC_RELAXED) <= 0 ||
        __atomic_sub_fetch(&holds_left, 1, __ATOMIC_RELAXED) < 0)
        return;
    unsigned long seen = __atomic_load_n(&came_back, __ATOMIC_ACQUIRE);
    double until = now() + hold_limit;
    while (__atomic_load_n(&came_back, __ATOMIC_ACQUIRE) == seen && now() < until) {
        int value = 0;
        if (__atomic_load_n(&blocked, __ATOMIC_ACQUIRE) > 0 && (sem == NULL || (libc_sem_getvalue(sem, &value) == 0 && value == 0)))
            break;
        pause_briefly();
    }
}

static int said_value_after_wait, said_value_after_post, said_not_holder;

/* After a thread got past sem: a semaphore used as a lock is at 0 now. */
static void check_taken(sem_t *sem)
{
    int value = 0;
    if (libc_sem_getvalue(sem, &value) == 0 && value > 0)
        note(&said_value_after_wait,
             "a thread got past the semaphore, and its value is still above 0: another thread can get in while "
             "this one is inside\n");
}

/* The attempts at a lock that the shim watches. */
enum attempt { MUTEX_LOCK, MUTEX_TRYLOCK, SEM_WAIT, SEM_TRYWAIT };

/* One attempt at mutex or at sem (the other null), made by the C library's
 * own call: counted among the blocked while a call that may wait does; back,
 * counted as back, and when it got in, the semaphore checked and the thread
 * held inside. Returns what the call returned, errno as it left it. */
static int attempt(enum attempt what, pthread_mutex_t *mutex, sem_t *sem)
{
    resolve();
    int may_wait = what == MUTEX_LOCK || what == SEM_WAIT;
    if (may_wait)
        __atomic_add_fetch(&blocked, 1, __ATOMIC_RELEASE);
    int r = what == MUTEX_LOCK      ? next_mutex_lock(mutex)
            : what == MUTEX_TRYLOCK ? next_mutex_trylock(mutex)
            : what == SEM_WAIT      ? next_sem_wait(sem)
                                    : next_sem_trywait(sem);
    int error = errno;
    if (may_wait)
        __atomic_sub_fetch(&blocked, 1, __ATOMIC_RELEASE);
    __atomic_add_fetch(&came_back, 1, __ATOMIC_RELEASE);
    if (r == 0) {
        if (sem != NULL)
            check_taken(sem);
        hold_inside(sem);
    }
    errno = error;
    return r;
}

int pthread_mutex_lock(pthread_mutex_t *mutex) { return attempt(MUTEX_LOCK, mutex, NULL); }
int pthread_mutex_trylock(pthread_mutex_t *mutex) { return attempt(MUTEX_TRYLOCK, mutex, NULL); }
int sem_wait(sem_t *sem) { return attempt(SEM_WAIT, NULL, sem); }
int sem_trywait(sem_t *sem) { return attempt(SEM_TRYWAIT, NULL, sem); }

int pthread_mutex_unlock(pthread_mutex_t *mutex)
{
    resolve();
    /* glibc notes the holder's thread id in the mutex, whatever its type. */
    if (mutex->__data.__owner != (int)syscall(SYS_gettid))
        note(&said_not_holder, "pthread_mutex_unlock by a thread that does not hold the mutex\n");
    int waiting = __atomic_load_n(&blocked, __ATOMIC_ACQUIRE);
    unsigned long begun = __atomic_load_n(&sleeps, __ATOMIC_ACQUIRE);
    int r = next_mutex_unlock(mutex);
    if (hand_over && waiting > 0) {
        double until = now() + hold_limit;
        while (__atomic_load_n(&sleeps, __ATOMIC_ACQUIRE) == begun && now() < until)
            pause_briefly();
    }
    return r;
}

int sem_post(sem_t *sem)
{
    resolve();
    int r = next_sem_post(sem);
    int value = 0;
    if (r == 0 && libc_sem_getvalue(sem, &value) == 0 && value > 1)
        note(&said_value_after_post,
             "after a sem_post the semaphore's value is above 1: more than one thread can be inside at once\n");
    return r;
}

unsigned sleep(unsigned seconds)
{
    resolve();
    __atomic_add_fetch(&sleeps, 1, __ATOMIC_RELEASE);
    return next_sleep(seconds);
}
