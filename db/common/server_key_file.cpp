#include "server_key_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {
#include "postgres.h"
}

#include "hidden_statement.h"

namespace {

[[noreturn]] void reportKeyFileError(const ServerKeyFile& file, const char* problem,
                                     const char* hint) {
    ereport(ERROR, (errcode(ERRCODE_CONFIG_FILE_ERROR), errmsg("%s %s", file.noun, problem),
                    errdetail_log("%s is \"%s\".", file.setting, file.path), errhint("%s", hint),
                    hiddenStatement()));
    pg_unreachable();
}

void reportReadFailure(const ServerKeyFile& file, const KeyFileResult& result,
                       KeyFileOwnership rule) {
    errno = result.errorNumber;
    switch (result.status) {
        case KeyFileStatus::cannotOpen:
            ereport(ERROR, (errcode_for_file_access(), errmsg("could not open %s: %m", file.noun),
                            errdetail_log("%s is \"%s\".", file.setting, file.path),
                            errhint("Point %s at a file the server can read.", file.setting),
                            hiddenStatement()));
            break;
        case KeyFileStatus::notRegular:
            ereport(ERROR, (errcode(ERRCODE_CONFIG_FILE_ERROR),
                            errmsg("%s is not a regular file", file.noun),
                            errdetail_log("%s is \"%s\".", file.setting, file.path),
                            errhint("Point %s at a regular file, not a directory, FIFO, socket "
                                    "or device.",
                                    file.setting),
                            hiddenStatement()));
            break;
        case KeyFileStatus::refused:
            if (rule == KeyFileOwnership::owner) {
                reportKeyFileError(file, "must be owned by the database user or root",
                                   "Make the server's user or root its owner (chown).");
            }
            reportKeyFileError(file, "has group or world access",
                               "Allow u=rw (0600) or less when the database user owns it, "
                               "u=rw,g=r (0640) or less when root owns it (chmod).");
        case KeyFileStatus::readFailed:
            ereport(ERROR,
                    (errcode_for_file_access(), errmsg("could not read %s: %m", file.noun),
                     errdetail_log("%s is \"%s\".", file.setting, file.path), hiddenStatement()));
            break;
        case KeyFileStatus::ok:
            break;
    }
}

// Nothing after the lead-in on the first line: an empty key would open nothing it should.
bool holdsNoKey(const char* key) {
    return key[0] == '\0' || key[0] == '\n' || key[0] == '\r';
}

}  // namespace

void readServerKeyFile(const ServerKeyFile& file, char (&key)[keyFileKeyBufferSize]) {
    KeyFileOwnership rule = KeyFileOwnership::kept;
    const KeyFileResult result = readKeyFile(file.path, key, [&rule](const struct stat& info) {
        rule = keyFileOwnershipBroken(info);
        return rule == KeyFileOwnership::kept;
    });
    reportReadFailure(file, result, rule);
    if (holdsNoKey(key)) {
        reportKeyFileError(file, "holds no key",
                           "The key follows a 13-character lead-in on the file's first line.");
    }
}

void* mapKeyPages(size_t size, const char* owner, size_t* mappedSize) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t rounded = (size + static_cast<size_t>(page) - 1) / page * page;
    void* area = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        ereport(ERROR,
                (errcode(ERRCODE_OUT_OF_MEMORY), errmsg("out of memory"),
                 errdetail("%s could not map a page for its keys: %m.", owner), hiddenStatement()));
    }
    if (madvise(area, rounded, MADV_DONTDUMP) != 0) {
        const int reason = errno;
        munmap(area, rounded);
        errno = reason;
        ereport(ERROR, (errcode(ERRCODE_SYSTEM_ERROR),
                        errmsg("%s could not keep its keys out of core dumps: %m", owner),
                        hiddenStatement()));
    }
    (void)madvise(area, rounded, MADV_WIPEONFORK);
    // The system call itself: AddressSanitizer turns the library's mlock into a no-op.
    if (syscall(SYS_mlock, area, rounded) != 0) {
        ereport(LOG, (errmsg("%s could not lock its keys in memory: %m", owner),
                      errdetail("The keys may be written to swap."),
                      errhint("Raise the memory lock limit of the server (RLIMIT_MEMLOCK)."),
                      hiddenStatement()));
    }
    *mappedSize = rounded;
    return area;
}
