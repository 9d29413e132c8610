#include "oldKeyFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void reportRefusal(const char* path, KeyFileOwnership rule, const struct stat& info,
                   int messageFd) {
    const uid_t owner = info.st_uid;
    const mode_t mode = info.st_mode;
    if (rule == KeyFileOwnership::owner) {
        dprintf(messageFd,
                "morvex: the old key file \"%s\" must be owned by the user running morvex or by "
                "root (chown)\n",
                path);
        return;
    }
    // What the owner may allow: 0600 for the reading user (root too), 0640 for root otherwise.
    const char* allowed = owner == geteuid() ? "0600" : "0640";
    dprintf(messageFd,
            "morvex: the old key file \"%s\" has group or world access (mode %04o): allow %s or "
            "less (chmod)\n",
            path, static_cast<unsigned>(mode & 07777), allowed);
}

void reportFailure(const char* path, const KeyFileResult& result, KeyFileOwnership rule,
                   int messageFd) {
    switch (result.status) {
        case KeyFileStatus::cannotOpen:
            dprintf(messageFd, "morvex: cannot open the old key file \"%s\": %s\n", path,
                    std::strerror(result.errorNumber));
            break;
        case KeyFileStatus::notRegular:
            dprintf(messageFd, "morvex: the old key file \"%s\" is not a regular file\n", path);
            break;
        case KeyFileStatus::refused:
            reportRefusal(path, rule, result.info, messageFd);
            break;
        case KeyFileStatus::readFailed:
            dprintf(messageFd, "morvex: cannot read the old key file \"%s\": %s\n", path,
                    std::strerror(result.errorNumber));
            break;
        case KeyFileStatus::ok:
            break;
    }
}

}  // namespace

bool readOldKeyFile(const char* path, char (&key)[keyFileKeyBufferSize], int messageFd) {
    KeyFileOwnership rule = KeyFileOwnership::kept;
    const KeyFileResult result = readKeyFile(path, key, [&rule](const struct stat& info) {
        rule = keyFileOwnershipBroken(info);
        return rule == KeyFileOwnership::kept;
    });
    reportFailure(path, result, rule, messageFd);
    return result.status == KeyFileStatus::ok;
}
