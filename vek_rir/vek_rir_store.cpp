// Attachment, shared lock and append: the process-wide attachment to the live log (one
// descriptor, one shared mapping of the whole file), the attach domain that serialises
// attaching across the node, the free-space check, the robust process-shared mutex in the
// file's lock block, the claim and complete steps of every append, and the logging interface
// built on them. Owns vek_rir_fd, vek_rir_header, the four lock timestamps and the process's
// free-space check interval with the time of its last good check; touches the live log, its
// lock file, the node markers and /dev/kmsg.

#include "vek_rir/vek_rir_int.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

int vek_rir_fd = -1;
vek_rir_header_t *vek_rir_header = nullptr;
struct timespec vek_rir_last_lock_start;
struct timespec vek_rir_last_lock_end;
struct timespec vek_rir_last_unlock_start;
struct timespec vek_rir_last_unlock_end;

namespace {

constexpr char text_attached_memory[] = "process already attached to RIR memory";
constexpr char text_attached_file[] = "process already attached to RIR file";
constexpr char text_not_attached[] = "process not attached to RIR";
constexpr char text_lock_file_open[] = "unable to open RIR lock file at %s";
constexpr char text_lock_file_refused[] = "unable to open RIR lock file at %s: %s";
constexpr char text_lock_file_held[] = "unable to lock RIR lock file at %s: held for more than %d s";
constexpr char text_lock_file_failed[] = "unable to lock RIR lock file at %s (%d)";
constexpr char text_lock_held_by[] = "unable to lock RIR at %s: held for more than %d s by thread %d";
constexpr char text_lock_held[] = "unable to lock RIR at %s: held for more than %d s";
constexpr char text_lock_failed[] = "unable to lock RIR at %s (%d)";
constexpr char text_lock_consistent[] = "unable to recover RIR lock at %s (%d)";
constexpr char text_renew_held[] =
    "unable to renew RIR lock at %s: thread %d of this boot still holds it";
constexpr char text_create[] = "unable to create RIR at %s";
constexpr char text_open[] = "unable to open RIR at %s";
constexpr char text_open_refused[] = "unable to open RIR at %s: %s";
constexpr char text_reserve[] = "unable to reserve RIR space at %s (%d)";
constexpr char text_resize[] = "unable to size RIR at %s (%d)";
constexpr char text_sync[] = "unable to sync RIR at %s (%d)";
constexpr char text_size[] = "invalid RIR file size at %s %ld/%d";
constexpr char text_map[] = "unable to map RIR at %s";
constexpr char text_unavailable[] = "unavailable RIR at %s";
constexpr char text_version[] = "corrupt RIR version at %s (%ld)";
constexpr char text_record_size[] = "corrupt RIR record size at %s (%ld)";
constexpr char text_record_count[] = "corrupt RIR record count at %s (%ld)";
constexpr char text_magic[] = "corrupt RIR magic at %s (%lx)";
constexpr char text_parent_readonly[] = "unable to work RIR - parent missing or readonly";
constexpr char text_parent_stat[] = "unable to work RIR - parent stat failed";
constexpr char text_parent_space[] = "unable to work RIR - parent out of space";
constexpr char text_unlock_log[] = "unable to unlock RIR: %d(%d): %d %d %d %d\n";
constexpr char text_lock_file_unlock_log[] = "unable to unlock RIR lock file at %s (%d)\n";
constexpr char text_log_flush[] = "%s\n";
constexpr char text_check_interval_env[] =
    "vek_rir: ignoring %s=\"%s\" (not a number of milliseconds from 0 to %u); the free-space "
    "check runs before every append\n";
constexpr char env_check_interval[] = "VEK_RIR_CHECK_INTERVAL_MSECS";

// How long an attach waits for a mutex whose recorded boot time differs from the node's before
// it looks at who holds it. Shorter than vek_rir_lock_wait_secs: the attach holds the lock file
// meanwhile, and other attaches wait for that no longer than vek_rir_lock_wait_secs.
constexpr time_t boot_relock_wait_secs = 2;
static_assert(boot_relock_wait_secs < vek_rir_lock_wait_secs);

// The attach domain's flock is retried without blocking, sleeping a little longer each time,
// up to this step: a short hold costs a waiter about a millisecond, a long one few wake-ups.
constexpr long lock_file_step_max_msecs = 20;

void monotime(struct timespec *ts)
{
    int rc = clock_gettime(CLOCK_MONOTONIC, ts);
    VEK_RIR_ASSERT(rc == 0);
}

// The four lock timestamps are process-wide and written by every thread that locks, two of
// them outside the mutex: each field is stored whole with an atomic store, so a reader (a
// debugger, a core file) never sees a torn value and the stores are no data race.
void monotime_stamp(struct timespec *stamp)
{
    struct timespec now;
    monotime(&now);
    __atomic_store_n(&stamp->tv_sec, now.tv_sec, __ATOMIC_RELAXED);
    __atomic_store_n(&stamp->tv_nsec, now.tv_nsec, __ATOMIC_RELAXED);
}

// How often this process runs the free-space check: 0 before every append, else at most once
// per that many milliseconds of the appends' own wall-clock readings. Between two checks the
// last good one stands; a failed one is never kept, so every append after it checks again.
// Both are read and written by any thread without a lock. Every append reads them and only a
// check writes them, so they get a cache line of their own, away from the lock timestamps that
// every append writes.
struct alignas(64) check_state_t {
    std::atomic<uint32_t> interval_msecs{0};
    // The wall-clock reading (ns since the epoch) taken before the last check that passed; 0
    // when there is none to rely on.
    std::atomic<uint64_t> good_ns{0};
};
check_state_t check_state;
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(std::atomic<uint64_t>::is_always_lock_free);
pthread_once_t check_fork_once = PTHREAD_ONCE_INIT;

// A forked child starts with a check of its own: it may drop privileges or change its root
// before it logs, and the parent's answer says nothing about what it may write. The reset runs
// in the child's fork handler rather than comparing process ids on the append, because getpid
// is a system call and the cached path must make none.
void check_fork_child()
{
    check_state.good_ns.store(0, std::memory_order_relaxed);
}

void check_fork_handler_install()
{
    int rc = pthread_atfork(nullptr, nullptr, check_fork_child);
    VEK_RIR_ASSERT(rc == 0);
}

void check_forget()
{
    int rc = pthread_once(&check_fork_once, check_fork_handler_install);
    VEK_RIR_ASSERT(rc == 0);
    check_state.good_ns.store(0, std::memory_order_relaxed);
}

uint64_t timespec_ns(const struct timespec &ts)
{
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Due when no good check is known, when the interval has passed, or when the wall clock went
// back past the last good check (its age is then unknown).
bool check_due(uint64_t now_ns, uint32_t interval_msecs)
{
    uint64_t good_ns = check_state.good_ns.load(std::memory_order_relaxed);
    return good_ns == 0 || now_ns < good_ns ||
           now_ns - good_ns >= static_cast<uint64_t>(interval_msecs) * 1000000u;
}

// Only plain decimal digits, 0 to the maximum; anything else (a sign, blanks, an empty value,
// a unit) is not a number of milliseconds.
bool check_interval_parse(const char *text, uint32_t *msecs_rv)
{
    if (*text == 0)
        return false;
    uint32_t msecs = 0;
    for (const char *c = text; *c != 0; c++) {
        if (*c < '0' || *c > '9')
            return false;
        msecs = msecs * 10 + static_cast<uint32_t>(*c - '0');
        if (msecs > vek_rir_check_interval_max_msecs)
            return false;
    }
    *msecs_rv = msecs;
    return true;
}

// Read at every attach; without the variable the interval stays as the process set it. A bad
// value gives the default and one line on standard error, its text cut short and made
// printable so that the line stays one line.
void check_interval_from_environment()
{
    const char *text = getenv(env_check_interval);
    if (text == nullptr)
        return;
    uint32_t msecs = 0;
    if (!check_interval_parse(text, &msecs)) {
        char shown[33];
        size_t n = 0;
        for (; n < sizeof(shown) - 1 && text[n] != 0; n++)
            shown[n] = text[n] >= ' ' && text[n] <= '~' ? text[n] : '?';
        shown[n] = 0;
        fprintf(stderr, text_check_interval_env, env_check_interval, shown,
                static_cast<unsigned>(vek_rir_check_interval_max_msecs));
        msecs = 0;
    }
    check_state.interval_msecs.store(msecs, std::memory_order_relaxed);
}

// The one place that reads a lock result. EOWNERDEAD means the previous owner died inside its
// critical section: we own the mutex now and only have to mark it consistent. The dead writer's
// slot needs nothing more: it keeps USED without COMPLETE (or its previous contents, when the
// writer died before stamping it), which every reader shows as it is, and next_seqno already
// moved past it, so the next claim takes a fresh slot.
// A mutex that cannot be made consistent (another process wrote over it meanwhile) is released
// again and the lock fails: whatever it holds now, this process must not stop on it.
int mutex_result_read(vek_rir_failure_info_t *failure_info, int rc, pthread_mutex_t *mutex)
{
    if (rc == 0)
        return 0;
    if (rc == EOWNERDEAD) {
        int consistent_rc = pthread_mutex_consistent(mutex);
        if (consistent_rc == 0)
            return 0;
        pthread_mutex_unlock(mutex);
        vek_rir_failure_info_set(failure_info, text_lock_consistent, vek_rir_local_path,
                                 consistent_rc);
        return 1;
    }
    vek_rir_failure_info_set(failure_info, text_lock_failed, vek_rir_local_path, rc);
    return 1;
}

// The thread id in the mutex's lock word (0 when it shows none). The word is shared with every
// process that maps the log, so it is read once, atomically, and only reported or tested.
pid_t mutex_owner_tid(pthread_mutex_t *mutex)
{
    int word = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED);
    return static_cast<pid_t>(static_cast<unsigned>(word) & FUTEX_TID_MASK);
}

// Try first, so the common free mutex costs no clock reading; then wait against the monotonic
// clock: pthread_mutex_timedlock measures against the wall clock, which a step back would
// stretch (and a step forward cut short). 0 and the mutex held, or the lock's result.
int mutex_take_within(pthread_mutex_t *mutex, time_t wait_secs)
{
    int rc = pthread_mutex_trylock(mutex);
    if (rc != EBUSY)
        return rc;
    struct timespec deadline;
#if defined(__SANITIZE_THREAD__)
    // The race detector of our compiler does not know pthread_mutex_clocklock and would take
    // a mutex held through it for none; its builds wait against the wall clock instead.
    int clock_rc = clock_gettime(CLOCK_REALTIME, &deadline);
    VEK_RIR_ASSERT(clock_rc == 0);
    deadline.tv_sec += wait_secs;
    return pthread_mutex_timedlock(mutex, &deadline);
#else
    monotime(&deadline);
    deadline.tv_sec += wait_secs;
    return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

// The live log's identity, as /proc/<tid>/maps shows a mapping of it: device and inode, which
// name the file whatever path (or mount namespace) the other process reached it by.
struct live_file_id_t {
    unsigned dev_major;
    unsigned dev_minor;
    unsigned long inode;
};

// Whether tid names a thread alive now whose process maps the live log writable and shared, as
// every process able to hold the mutex does. A thread id from an earlier boot either names no
// thread now (/proc/<tid> missing) or, reused, one of a process that never attached in this
// boot, since the first attach of the boot renews the boot time. A maps file that cannot be
// read (another user's process seen by an unprivileged attach) counts as a live holder: the
// attach then fails instead of re-making a mutex that may be in use.
bool thread_holds_live_map(pid_t tid, const live_file_id_t &live)
{
    if (tid <= 0)
        return false;
    char path[64];
    // A thread of this process is never the holder: the attach runs while no thread of ours
    // appends, and our own mapping, made just before, would otherwise pass for a holder's
    // when an owner id from an earlier boot happens to name one of our threads.
    snprintf(path, sizeof(path), "/proc/self/task/%d", static_cast<int>(tid));
    if (access(path, F_OK) == 0)
        return false;
    snprintf(path, sizeof(path), "/proc/%d/maps", static_cast<int>(tid));
    FILE *maps = fopen(path, "re");
    if (maps == nullptr) {
        snprintf(path, sizeof(path), "/proc/%d", static_cast<int>(tid));
        return access(path, F_OK) == 0;
    }
    bool found = false;
    bool at_line_start = true;
    char piece[256];
    while (!found && fgets(piece, sizeof(piece), maps) != nullptr) {
        size_t length = strlen(piece);
        bool starts_line = at_line_start;
        at_line_start = length > 0 && piece[length - 1] == '\n';
        if (!starts_line)
            continue;
        char perms[5] = {0};
        unsigned dev_major = 0, dev_minor = 0;
        unsigned long inode = 0;
        if (sscanf(piece, "%*x-%*x %4s %*x %x:%x %lu", perms, &dev_major, &dev_minor, &inode) != 4)
            continue;
        found = perms[1] == 'w' && perms[3] == 's' && dev_major == live.dev_major &&
                dev_minor == live.dev_minor && inode == live.inode;
    }
    fclose(maps);
    return found;
}

void mutex_init(vek_rir_header_lock_real_t *lock)
{
    int rc = pthread_mutexattr_init(&lock->mutex_attr);
    VEK_RIR_ASSERT(rc == 0);
    rc = pthread_mutexattr_setpshared(&lock->mutex_attr, PTHREAD_PROCESS_SHARED);
    VEK_RIR_ASSERT(rc == 0);
    rc = pthread_mutexattr_setrobust(&lock->mutex_attr, PTHREAD_MUTEX_ROBUST);
    VEK_RIR_ASSERT(rc == 0);
    rc = pthread_mutex_init(&lock->mutex_body, &lock->mutex_attr);
    VEK_RIR_ASSERT(rc == 0);
    rc = pthread_mutexattr_destroy(&lock->mutex_attr);
    VEK_RIR_ASSERT(rc == 0);
}

// True when the mutex could be had within the bounded wait, and then it is held. Anything
// else (ETIMEDOUT; EDEADLK, since a stale owner id from an earlier boot can equal ours;
// ENOTRECOVERABLE; a damaged image) leaves the caller to ask who holds it.
bool mutex_sound_within(pthread_mutex_t *mutex, time_t wait_secs)
{
    vek_rir_failure_info_t ignored;
    return mutex_result_read(&ignored, mutex_take_within(mutex, wait_secs), mutex) == 0;
}

// A disk that cannot take the mapping leaves the records where every attached process sees
// them, in the shared pages; only their way to the disk failed, and the caller says so.
int mapping_sync(vek_rir_failure_info_t *failure_info)
{
    if (vek_rir_util_io.msync(vek_rir_header, VEK_RIR_FILE_SIZE, MS_SYNC) != 0 ||
        vek_rir_util_io.fsync(vek_rir_fd) != 0) {
        vek_rir_failure_info_set(failure_info, text_sync, vek_rir_local_path, errno);
        return 1;
    }
    return 0;
}

// A live log that a first attach began and never finished: nothing after the open (0 bytes), or
// sized but without its magic and never appended to. An attach that may create treats it as
// its own new file; any other bad header is left to validation.
bool never_initialised(int fd)
{
    struct stat st;
    int rc = fstat(fd, &st);
    VEK_RIR_ASSERT(rc == 0);
    if (st.st_size == 0)
        return true;
    if (st.st_size != static_cast<off_t>(VEK_RIR_FILE_SIZE))
        return false;
    vek_rir_header_info_real_t info;
    if (pread(fd, &info, sizeof(info), 0) != static_cast<ssize_t>(sizeof(info)))
        return false;
    return info.magic == 0 && info.next_seqno == 0;
}

// Sizes a new live log and reserves its blocks, so that no logging process ever dies of
// SIGBUS on a page the file system cannot back. Only a file system without reservation keeps
// the file sparse.
int new_file_prepare(vek_rir_failure_info_t *failure_info, int fd)
{
    if (vek_rir_util_io.ftruncate(fd, static_cast<off_t>(VEK_RIR_FILE_SIZE)) != 0) {
        vek_rir_failure_info_set(failure_info, text_resize, vek_rir_local_path, errno);
        return 1;
    }
    if (fallocate(fd, 0, 0, static_cast<off_t>(VEK_RIR_FILE_SIZE)) != 0 && errno != EOPNOTSUPP) {
        vek_rir_failure_info_set(failure_info, text_reserve, vek_rir_local_path, errno);
        return 1;
    }
    if (vek_rir_util_io.fsync(fd) != 0) {
        vek_rir_failure_info_set(failure_info, text_sync, vek_rir_local_path, errno);
        return 1;
    }
    return 0;
}

// The magic is written last and synced before the attach domain is left, so a log whose
// initialisation was cut short carries no valid magic; a log whose sync failed is removed by
// the caller, so nobody attaches to a header the disk may not hold.
int new_header_init(vek_rir_failure_info_t *failure_info, vek_rir_header_t *header)
{
    memset(header, 0, sizeof(*header));
    uint64_t boot_time = vek_rir_util_get_boot_time();
    vek_rir_header_lock_real_t &lock = vek_rir_helper_lock(header);
    mutex_init(&lock);
    lock.mutex_init_boot_time = boot_time;
    struct timespec now;
    int rc = clock_gettime(CLOCK_REALTIME, &now);
    VEK_RIR_ASSERT(rc == 0);
    vek_rir_header_info_real_t &info = vek_rir_helper_info(header);
    info.version = VEK_RIR_VERSION_1;
    info.flags = VEK_RIR_HEADER_FLAGS_NONE;
    if (access("/vek_var/VEK_I_AM_A", F_OK) == 0)
        info.flags |= VEK_RIR_HEADER_FLAG_NODE_A;
    if (access("/vek_var/VEK_I_AM_B", F_OK) == 0)
        info.flags |= VEK_RIR_HEADER_FLAG_NODE_B;
    info.record_size = VEK_RIR_RECORD_SIZE;
    info.record_count = VEK_RIR_RECORD_COUNT;
    info.next_seqno = 0;
    info.generation = 1;
    info.last_touch_secs = static_cast<uint64_t>(now.tv_sec);
    info.last_touch_usecs = static_cast<uint64_t>(now.tv_nsec / 1000);
    info.magic = VEK_RIR_MAGIC;
    return mapping_sync(failure_info);
}

// The mutex is initialised once per boot. The reported boot time also moves when the wall
// clock is stepped, and re-initialising a mutex that other processes use would let two writers
// into the ring and stop its holder at its unlock; so a mutex that can still be had is kept
// and only the boot time is stored, and one that cannot is re-made only when its owner id
// names no live thread mapping this log. Otherwise the attach fails and nothing is changed: a
// holder merely slow lets go, and the next attach renews the boot time.
// A sync the disk refuses fails this attach; the boot time stays in the shared pages, so the
// next attach finds it current and goes ahead without one.
int boot_time_check(vek_rir_failure_info_t *failure_info, vek_rir_header_t *header)
{
    uint64_t boot_time = vek_rir_util_get_boot_time();
    vek_rir_header_lock_real_t &lock = vek_rir_helper_lock(header);
    if (boot_time == lock.mutex_init_boot_time)
        return 0;
    if (mutex_sound_within(&lock.mutex_body, boot_relock_wait_secs)) {
        lock.mutex_init_boot_time = boot_time;
        pthread_mutex_unlock(&lock.mutex_body);
    } else {
        struct stat st;
        int rc = fstat(vek_rir_fd, &st);
        VEK_RIR_ASSERT(rc == 0);
        live_file_id_t live = {major(st.st_dev), minor(st.st_dev),
                               static_cast<unsigned long>(st.st_ino)};
        pid_t owner = mutex_owner_tid(&lock.mutex_body);
        if (thread_holds_live_map(owner, live)) {
            vek_rir_failure_info_set(failure_info, text_renew_held, vek_rir_local_path,
                                     static_cast<int>(owner));
            return 1;
        }
        mutex_init(&lock);
        lock.mutex_init_boot_time = boot_time;
    }
    return mapping_sync(failure_info);
}

// The live log's texts name the path and the value found, so an operator sees what is there.
int live_header_validate(vek_rir_failure_info_t *failure_info, const vek_rir_header_t *header)
{
    const vek_rir_header_info_real_t &info = vek_rir_helper_info(header);
    switch (vek_rir_helper_header_fault(header, false)) {
    case vek_rir_helper_header_fault_t::none:
        return 0;
    case vek_rir_helper_header_fault_t::version:
        vek_rir_failure_info_set(failure_info, text_version, vek_rir_local_path,
                                 static_cast<long>(info.version));
        break;
    case vek_rir_helper_header_fault_t::record_size:
        vek_rir_failure_info_set(failure_info, text_record_size, vek_rir_local_path,
                                 static_cast<long>(info.record_size));
        break;
    case vek_rir_helper_header_fault_t::record_count:
        vek_rir_failure_info_set(failure_info, text_record_count, vek_rir_local_path,
                                 static_cast<long>(info.record_count));
        break;
    case vek_rir_helper_header_fault_t::magic:
        vek_rir_failure_info_set(failure_info, text_magic, vek_rir_local_path,
                                 static_cast<unsigned long>(info.magic));
        break;
    }
    return 1;
}

// A new log that could not be sized, reserved or synced is given up inside the attach domain,
// so nobody else can have opened it meanwhile. A file this attach made is removed. One it found
// empty is the deployment's (pre-created with the owner, group and mode that let its members
// log, which a re-creation would not give it back): it is only put back to empty, so it keeps
// them and holds no magic whose sync failed.
void new_file_abandon(bool made_here)
{
    if (made_here) {
        unlink(vek_rir_local_path);
        return;
    }
    if (ftruncate(vek_rir_fd, 0) != 0) {
        // Left sized without a synced magic: the next attach that may create starts it again.
    }
}

// The failure exit: nothing is synced, a file this attach created stays (unless it could not
// be sized, reserved or synced; see the callers of new_file_prepare and new_header_init).
int attach_fail()
{
    if (vek_rir_header != nullptr) {
        int rc = munmap(vek_rir_header, VEK_RIR_FILE_SIZE);
        VEK_RIR_ASSERT(rc == 0);
        vek_rir_header = nullptr;
    }
    if (vek_rir_fd != -1) {
        int rc = close(vek_rir_fd);
        VEK_RIR_ASSERT(rc == 0);
        vek_rir_fd = -1;
    }
    return 1;
}

// Every process that logs may write the log's directory, so the live log is opened without
// following a link and kept only if it is a regular file; a new one is created exclusively, so
// that a link planted in between is refused rather than followed.
int live_log_open(int create_if_needed, vek_rir_failure_info_t *failure_info, bool *created_rv)
{
    const char *reason = nullptr;
    vek_rir_fd = vek_rir_util_file_open_own(vek_rir_local_path, O_RDWR, 0, &reason);
    if (vek_rir_fd != -1)
        return 0;
    if (reason != nullptr) {
        vek_rir_failure_info_set(failure_info, text_open_refused, vek_rir_local_path, reason);
        return 1;
    }
    if (errno != ENOENT || !create_if_needed) {
        vek_rir_failure_info_set(failure_info, text_open, vek_rir_local_path);
        return 1;
    }
    vek_rir_fd =
        open(vek_rir_local_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (vek_rir_fd == -1) {
        vek_rir_failure_info_set(failure_info, text_create, vek_rir_local_path);
        return 1;
    }
    *created_rv = true;
    return 0;
}

// Steps of one attach, run while the attach domain is held.
// The file opened (and, when new, sized) must be exactly one live log's size before it is mapped.
int live_log_map(vek_rir_failure_info_t *failure_info)
{
    struct stat st;
    int rc = fstat(vek_rir_fd, &st);
    VEK_RIR_ASSERT(rc == 0);
    if (st.st_size != static_cast<off_t>(VEK_RIR_FILE_SIZE)) {
        vek_rir_failure_info_set(failure_info, text_size, vek_rir_local_path,
                                 static_cast<long>(st.st_size),
                                 static_cast<int>(VEK_RIR_FILE_SIZE));
        return 1;
    }
    void *mapping = mmap(nullptr, VEK_RIR_FILE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED,
                         vek_rir_fd, 0);
    if (mapping == MAP_FAILED) {
        vek_rir_failure_info_set(failure_info, text_map, vek_rir_local_path);
        return 1;
    }
    vek_rir_header = static_cast<vek_rir_header_t *>(mapping);
    return 0;
}

// A log found in place: one that a process attaching without creating may use, with a mutex
// of this boot.
int live_log_found_check(int create_if_needed, vek_rir_failure_info_t *failure_info)
{
    if (!create_if_needed && vek_rir_helper_info(vek_rir_header).magic != VEK_RIR_MAGIC) {
        vek_rir_failure_info_set(failure_info, text_unavailable, vek_rir_local_path);
        return 1;
    }
    return boot_time_check(failure_info, vek_rir_header);
}

int attach_in_domain(int create_if_needed, vek_rir_failure_info_t *failure_info)
{
    if (vek_rir_header != nullptr || vek_rir_fd != -1) {
        vek_rir_failure_info_set(failure_info, vek_rir_header != nullptr ? text_attached_memory
                                                                          : text_attached_file);
        return 1;
    }
    bool created = false; // initialised by this attach
    if (live_log_open(create_if_needed, failure_info, &created) != 0)
        return attach_fail();
    bool made_here = created; // and its name made by this attach's open
    if (!created && create_if_needed && never_initialised(vek_rir_fd))
        created = true;
    if (created && new_file_prepare(failure_info, vek_rir_fd) != 0) {
        new_file_abandon(made_here);
        return attach_fail();
    }
    if (live_log_map(failure_info) != 0)
        return attach_fail();
    if (created && new_header_init(failure_info, vek_rir_header) != 0) {
        new_file_abandon(made_here);
        return attach_fail();
    }
    if ((!created && live_log_found_check(create_if_needed, failure_info) != 0) ||
        live_header_validate(failure_info, vek_rir_header) != 0)
        return attach_fail();
    return 0;
}

// The kernel log gets the caller's whole strings, not the cut copies in the record; the line
// is written with its terminating zero, and a failed copy never fails the append.
void kernel_copy(const char *rir_identity, const char *rir_text)
{
    int fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    char line[216];
    memset(line, 0, sizeof(line));
    snprintf(line, sizeof(line) - 1, "%s:%s\n", rir_identity, rir_text);
    if (write(fd, line, strlen(line) + 1) < 0) {
        // Ignored: the record is stored, the kernel copy is a courtesy.
    }
    close(fd);
}

} // namespace

// Every process that may log can open the lock file and hold its flock: the wait is bounded
// like the mutex's, retried without blocking in growing steps, and no answer of flock stops
// this process.
static int lock_file_flock(vek_rir_failure_info_t *failure_info, int fd)
{
    struct timespec deadline;
    monotime(&deadline);
    deadline.tv_sec += vek_rir_lock_wait_secs;
    long step_msecs = 1;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        int flock_errno = errno;
        if (flock_errno != EWOULDBLOCK && flock_errno != EINTR) {
            vek_rir_failure_info_set(failure_info, text_lock_file_failed,
                                     vek_rir_global_attach_domain_lock_path, flock_errno);
            return 1;
        }
        struct timespec now;
        monotime(&now);
        if (now.tv_sec > deadline.tv_sec ||
            (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
            vek_rir_failure_info_set(failure_info, text_lock_file_held,
                                     vek_rir_global_attach_domain_lock_path,
                                     vek_rir_lock_wait_secs);
            return 1;
        }
        struct timespec step = {0, step_msecs * 1000000L};
        nanosleep(&step, nullptr);
        step_msecs = step_msecs * 2 < lock_file_step_max_msecs ? step_msecs * 2
                                                               : lock_file_step_max_msecs;
    }
}

static int vek_rir_global_attach_domain_enter(vek_rir_failure_info_t *failure_info, int *fd_rv)
{
    const char *reason = nullptr;
    int fd = vek_rir_util_file_open_own(vek_rir_global_attach_domain_lock_path, O_RDWR | O_CREAT,
                                        0666, &reason);
    if (fd < 0) {
        if (reason != nullptr)
            vek_rir_failure_info_set(failure_info, text_lock_file_refused,
                                     vek_rir_global_attach_domain_lock_path, reason);
        else
            vek_rir_failure_info_set(failure_info, text_lock_file_open,
                                     vek_rir_global_attach_domain_lock_path);
        return 1;
    }
    if (lock_file_flock(failure_info, fd) != 0) {
        close(fd);
        return 1;
    }
    *fd_rv = fd;
    return 0;
}

// The close releases the flock whatever the unlock answered, and a close that reports an error
// on Linux has released the descriptor too: neither is a reason to stop.
static void vek_rir_global_attach_domain_leave(int fd)
{
    int rc;
    do {
        rc = flock(fd, LOCK_UN);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        vek_rir_util_log_limited(vek_rir_global_attach_domain_lock_path,
                                 text_lock_file_unlock_log, vek_rir_global_attach_domain_lock_path,
                                 errno);
    close(fd);
}

int vek_mem_file_work_safe(vek_rir_failure_info_t *failure_info)
{
    if (access(vek_rir_parent_path, W_OK) != 0) {
        vek_rir_failure_info_set(failure_info, text_parent_readonly);
        return VEK_RIR_FALSE;
    }
    struct statfs fs;
    if (statfs(vek_rir_parent_path, &fs) != 0) {
        vek_rir_failure_info_set(failure_info, text_parent_stat);
        return VEK_RIR_FALSE;
    }
    uint64_t free_bytes = static_cast<uint64_t>(fs.f_bsize) * static_cast<uint64_t>(fs.f_bfree);
    if (free_bytes < vek_rir_freespace_min) {
        vek_rir_failure_info_set(failure_info, text_parent_space);
        return VEK_RIR_FALSE;
    }
    return VEK_RIR_TRUE;
}

int vek_rir_file_attach(int create_if_needed, vek_rir_failure_info_t *failure_info)
{
    int domain_fd = -1;
    if (vek_rir_global_attach_domain_enter(failure_info, &domain_fd) != 0)
        return 1;
    int rc = attach_in_domain(create_if_needed, failure_info);
    vek_rir_global_attach_domain_leave(domain_fd);
    // A new attachment starts with a check of its own.
    check_interval_from_environment();
    check_forget();
    return rc;
}

uint32_t vek_rir_file_check_interval_get()
{
    return check_state.interval_msecs.load(std::memory_order_relaxed);
}

vek_rir_rc_t vek_rir_if_check_interval_set(int64_t msecs)
{
    if (msecs < 0 || msecs > static_cast<int64_t>(vek_rir_check_interval_max_msecs))
        return VEK_RIR_RC_FAILURE;
    check_state.interval_msecs.store(static_cast<uint32_t>(msecs), std::memory_order_relaxed);
    // A good check kept under another interval proves nothing about this one.
    check_forget();
    return VEK_RIR_RC_OK;
}

// The process is detached whatever the disk says.
int vek_rir_file_detach(vek_rir_failure_info_t *failure_info)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    vek_rir_failure_info_t local_failure_info;
    if (failure_info == nullptr)
        failure_info = &local_failure_info;
    int synced_rc = mapping_sync(failure_info);
    int rc = munmap(vek_rir_header, VEK_RIR_FILE_SIZE);
    VEK_RIR_ASSERT(rc == 0);
    rc = close(vek_rir_fd);
    VEK_RIR_ASSERT(rc == 0);
    vek_rir_fd = -1;
    vek_rir_header = nullptr;
    return synced_rc;
}

vek_rir_file_refusal_t vek_rir_file_refusal(int fd)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    struct stat file_stat;
    struct stat live_stat;
    int rc = fstat(fd, &file_stat);
    VEK_RIR_ASSERT(rc == 0);
    rc = fstat(vek_rir_fd, &live_stat);
    VEK_RIR_ASSERT(rc == 0);
    if (!S_ISREG(file_stat.st_mode))
        return vek_rir_file_refusal_t::not_regular;
    if (vek_rir_util_file_same(file_stat, live_stat))
        return vek_rir_file_refusal_t::live_log;
    return vek_rir_file_refusal_t::none;
}

int vek_rir_file_sync(vek_rir_failure_info_t *failure_info)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    return mapping_sync(failure_info);
}

void vek_rir_file_flush()
{
    vek_rir_failure_info_t failure_info;
    vek_rir_failure_info_clear(&failure_info);
    if (vek_rir_file_sync(&failure_info) != 0)
        vek_rir_util_log_limited(vek_rir_local_path, text_log_flush,
                                 vek_rir_failure_info_text(&failure_info));
}

int vek_rir_file_lock(vek_rir_failure_info_t *failure_info)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    monotime_stamp(&vek_rir_last_lock_start);
    pthread_mutex_t *mutex = &vek_rir_helper_lock(vek_rir_header).mutex_body;
    int rc = mutex_take_within(mutex, vek_rir_lock_wait_secs);
    if (rc == ETIMEDOUT) {
        pid_t owner = mutex_owner_tid(mutex);
        if (owner != 0)
            vek_rir_failure_info_set(failure_info, text_lock_held_by, vek_rir_local_path,
                                     vek_rir_lock_wait_secs, static_cast<int>(owner));
        else
            vek_rir_failure_info_set(failure_info, text_lock_held, vek_rir_local_path,
                                     vek_rir_lock_wait_secs);
        return 1;
    }
    if (mutex_result_read(failure_info, rc, mutex) != 0)
        return 1;
    monotime_stamp(&vek_rir_last_lock_end);
    return 0;
}

// A failed unlock means another process wrote over the mutex while this one held it; the
// line says what the mutex holds now, at most once in a while, since the writer can repeat it.
int vek_rir_file_unlock()
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    monotime_stamp(&vek_rir_last_unlock_start);
    pthread_mutex_t *mutex = &vek_rir_helper_lock(vek_rir_header).mutex_body;
    int rc = pthread_mutex_unlock(mutex);
    if (rc != 0) {
        int words[4];
        memcpy(words, mutex, sizeof(words));
        vek_rir_util_log_limited(vek_rir_local_path, text_unlock_log, rc,
                                 static_cast<int>(getpid()), words[0], words[1], words[2],
                                 words[3]);
        return 1;
    }
    monotime_stamp(&vek_rir_last_unlock_end);
    return 0;
}

namespace {

void wall_clock_read(struct timespec *now)
{
    int rc = clock_gettime(CLOCK_REALTIME, now);
    VEK_RIR_ASSERT(rc == 0);
}

// [complete-last] A claim stamps the slot USED (clearing COMPLETE) and the fill follows; only
// vek_rir_next_record_return sets COMPLETE, so a slot without it was never finished. Runs
// under the mutex, with the wall-clock reading taken under it.
void record_claim(vek_rir_record_t **record_rv, const struct timespec &now)
{
    vek_rir_header_info_real_t &info = vek_rir_helper_info(vek_rir_header);
    uint64_t seqno = info.next_seqno;
    info.next_seqno = seqno + 1;
    vek_rir_record_t *record = vek_rir_helper_slot(vek_rir_header, seqno % VEK_RIR_RECORD_COUNT);
    info.last_touch_secs = static_cast<uint64_t>(now.tv_sec);
    info.last_touch_usecs = static_cast<uint64_t>(now.tv_nsec / 1000);
    vek_rir_record_real_t &real = vek_rir_helper_real(record);
    uint64_t stamp = VEK_RIR_RECORD_FLAG_USED;
    if (info.flags & VEK_RIR_HEADER_FLAG_NODE_A)
        stamp |= VEK_RIR_RECORD_FLAG_NODE_A;
    if (info.flags & VEK_RIR_HEADER_FLAG_NODE_B)
        stamp |= VEK_RIR_RECORD_FLAG_NODE_B;
    __atomic_store_n(&real.flags, stamp, __ATOMIC_RELAXED);
    __atomic_store_n(&real.seqno, seqno, __ATOMIC_RELAXED);
    // [complete-last] Readers that do not take the mutex (a follower of the live log) compare
    // the slot's sequence number and flags before and after copying it: the stamp must be in
    // memory before any byte of the fill, so a copy that saw part of the fill sees the stamp.
    __atomic_thread_fence(__ATOMIC_RELEASE);
    real.time_secs = info.last_touch_secs;
    real.time_usecs = info.last_touch_usecs;
    *record_rv = record;
}

// The append with a check interval: the clock reading that stamps the record also decides
// whether the check is due, so an append within the interval makes no system call of its
// own. A due check runs with the mutex released, as on the default path, so that no writer
// of the node waits for its system calls; the record is then claimed afresh.
int record_claim_checked(vek_rir_failure_info_t *failure_info, uint32_t interval_msecs,
                         vek_rir_record_t **record_rv)
{
    if (vek_rir_file_lock(failure_info) != 0)
        return 1;
    struct timespec now;
    wall_clock_read(&now);
    if (!check_due(timespec_ns(now), interval_msecs)) {
        record_claim(record_rv, now);
        return 0;
    }
    vek_rir_file_unlock();
    if (!vek_mem_file_work_safe(failure_info)) {
        check_state.good_ns.store(0, std::memory_order_relaxed);
        return 1;
    }
    // The reading from before the check: the next one is due at most an interval after this
    // one looked at the disk, never later.
    check_state.good_ns.store(timespec_ns(now), std::memory_order_relaxed);
    return vek_rir_next_record_get(record_rv, VEK_RIR_TRUE, failure_info);
}

} // namespace

int vek_rir_next_record_get(vek_rir_record_t **record_rv, int dolock,
                            vek_rir_failure_info_t *failure_info)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    if (dolock && vek_rir_file_lock(failure_info) != 0)
        return 1;
    struct timespec now;
    wall_clock_read(&now);
    record_claim(record_rv, now);
    return 0;
}

void vek_rir_next_record_fill(vek_rir_record_t *record, uint64_t rir_flags, uint64_t rir_class,
                              uint64_t rir_code, const char *rir_identity, const char *rir_text)
{
    vek_rir_record_real_t &real = vek_rir_helper_real(record);
    // USED and COMPLETE are the system's own: a caller that passed them would make the slot
    // look complete to a reader while it is still being filled.
    constexpr uint64_t system_bits = VEK_RIR_RECORD_FLAG_USED | VEK_RIR_RECORD_FLAG_COMPLETE;
    real.flags |= rir_flags & ~system_bits;
    real.rir_class = rir_class;
    real.code = rir_code;
    vek_rir_helper_field_copy(real.identity, sizeof(real.identity), rir_identity);
    vek_rir_helper_field_copy(real.text, sizeof(real.text), rir_text);
}

// [complete-last] The last store of an append.
int vek_rir_next_record_return(vek_rir_record_t *record, int dounlock)
{
    VEK_RIR_ASSERT(vek_rir_file_attached());
    // A release store: the whole fill is in memory before a reader can see COMPLETE.
    uint64_t &flags = vek_rir_helper_real(record).flags;
    __atomic_store_n(&flags, flags | VEK_RIR_RECORD_FLAG_COMPLETE, __ATOMIC_RELEASE);
    return dounlock ? vek_rir_file_unlock() : 0;
}

vek_rir_rc_t vek_rir_if_world_init(vek_rir_failure_info_t *failure_info)
{
    VEK_RIR_ASSERT(vek_rir_header == nullptr && vek_rir_fd == -1);
    vek_rir_failure_info_t local_failure_info;
    if (failure_info == nullptr)
        failure_info = &local_failure_info;
    vek_rir_failure_info_clear(failure_info);
    return vek_rir_file_attach(VEK_RIR_FALSE, failure_info) == 0 ? VEK_RIR_RC_OK
                                                                  : VEK_RIR_RC_FAILURE;
}

vek_rir_rc_t vek_rir_if_record_add(vek_rir_failure_info_t *failure_info, uint64_t rir_flags,
                                   uint64_t rir_class, uint64_t rir_code,
                                   const char *rir_identity, const char *rir_text)
{
    vek_rir_failure_info_t local_failure_info;
    if (failure_info == nullptr)
        failure_info = &local_failure_info;
    if (!vek_rir_file_attached()) {
        // A node without /vek_var does not provide the log: logging there is a no-op.
        struct stat st;
        if (stat(vek_rir_parent_path, &st) == 0 && S_ISDIR(st.st_mode))
            return VEK_RIR_RC_FAILURE;
        return VEK_RIR_RC_OK;
    }
    vek_rir_failure_info_clear(failure_info);
    vek_rir_record_t *record = nullptr;
    uint32_t interval_msecs = check_state.interval_msecs.load(std::memory_order_relaxed);
    if (interval_msecs == 0) {
        if (!vek_mem_file_work_safe(failure_info) ||
            vek_rir_next_record_get(&record, VEK_RIR_TRUE, failure_info) != 0)
            return VEK_RIR_RC_FAILURE;
    } else if (record_claim_checked(failure_info, interval_msecs, &record) != 0) {
        return VEK_RIR_RC_FAILURE;
    }
    vek_rir_next_record_fill(record, rir_flags, rir_class, rir_code, rir_identity, rir_text);
    // The record is complete and in the log; an unlock refused because another process wrote
    // over the mutex has its line, and a caller told of a failure would only log it twice.
    vek_rir_next_record_return(record, VEK_RIR_TRUE);
    if (rir_flags & VEK_RIR_FLAG_TOKERNEL)
        kernel_copy(rir_identity, rir_text);
    return VEK_RIR_RC_OK;
}

// A process whose init failed (no live log yet, no permission) may still end with a deinit, as
// a careful caller would write it: that is its failure, not a reason to stop the process.
vek_rir_rc_t vek_rir_if_world_deinit(vek_rir_failure_info_t *failure_info)
{
    if (failure_info != nullptr)
        vek_rir_failure_info_clear(failure_info);
    if (!vek_rir_file_attached()) {
        if (failure_info != nullptr)
            vek_rir_failure_info_set(failure_info, text_not_attached);
        return VEK_RIR_RC_FAILURE;
    }
    return vek_rir_file_detach(failure_info) == 0 ? VEK_RIR_RC_OK : VEK_RIR_RC_FAILURE;
}

static void vek_rir_cli_add_handle_chokeage(int, siginfo_t *, void *)
{
    // The file could not back a page of the mapping: end quietly with a failure status. A
    // mutex held now is recovered by the next locker.
    _exit(1);
}

void vek_rir_cli_chokage_intercept_begin()
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_sigaction = vek_rir_cli_add_handle_chokeage;
    action.sa_flags = SA_SIGINFO;
    int rc = sigemptyset(&action.sa_mask);
    VEK_RIR_ASSERT(rc == 0);
    rc = sigaction(SIGSEGV, &action, nullptr);
    VEK_RIR_ASSERT(rc == 0);
    rc = sigaction(SIGBUS, &action, nullptr);
    VEK_RIR_ASSERT(rc == 0);
}

void vek_rir_cli_chokage_intercept_end()
{
    VEK_RIR_ASSERT(signal(SIGSEGV, SIG_DFL) != SIG_ERR);
    VEK_RIR_ASSERT(signal(SIGBUS, SIG_DFL) != SIG_ERR);
}

vek_rir_rc_t vek_rir_cli_add(vek_rir_failure_info_t *failure_info, uint64_t rir_flags,
                             uint64_t rir_class, uint64_t rir_code, const char *rir_identity,
                             const char *rir_text, int rir_flush)
{
    if (rir_identity == nullptr)
        rir_identity = "unknown";
    if (rir_text == nullptr)
        rir_text = "empty";
    vek_rir_file_attachment_t attachment(failure_info);
    if (!attachment.held || !vek_mem_file_work_safe(failure_info))
        return VEK_RIR_RC_FAILURE;
    vek_rir_cli_chokage_intercept_begin();
    vek_rir_record_t *record = nullptr;
    if (vek_rir_next_record_get(&record, VEK_RIR_TRUE, failure_info) != 0) {
        vek_rir_cli_chokage_intercept_end();
        return VEK_RIR_RC_FAILURE;
    }
    vek_rir_next_record_fill(record, rir_flags, rir_class, rir_code, rir_identity, rir_text);
    vek_rir_next_record_return(record, VEK_RIR_TRUE);
    // The record is in the log either way; a failed sync says that the disk may not hold it.
    int rc = rir_flush ? vek_rir_file_sync(failure_info) : 0;
    if (attachment.detach(rc == 0 ? failure_info : nullptr) != 0)
        rc = 1;
    vek_rir_cli_chokage_intercept_end();
    return rc == 0 ? VEK_RIR_RC_OK : VEK_RIR_RC_FAILURE;
}
