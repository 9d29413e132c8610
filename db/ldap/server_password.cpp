// Directory passwords opened under the server key; see server_password.h.
#include "server_password.h"

#include <cstdlib>
#include <cstring>

#include "envelope.h"
#include "hidden_statement.h"
#include "server_key_file.h"
#include "tarnSecrets.h"

extern "C" {
#include "storage/ipc.h"
#include "utils/guc.h"
}

namespace quenby {
namespace {

// dbcipher's setting: the kit has one server key and one place that names it.
constexpr const char* keySetting = "dbcipher.key_file";

// Everything that holds the key or the opened password, in one locked page.
struct PasswordPage {
    TarnPreparedKey key;
    char fileKey[keyFileKeyBufferSize];
    char password[envelopeMaxTextLength + 1];
};

PasswordPage* page = nullptr;
size_t pageSize = 0;

void wipePageAtExit(int, Datum) {
    if (page != nullptr) wipeSecret(page, pageSize);
}

PasswordPage& thePage() {
    if (page == nullptr) {
        page =
            static_cast<PasswordPage*>(mapKeyPages(sizeof(PasswordPage), "quenby_ldap", &pageSize));
        on_proc_exit(wipePageAtExit, 0);
    }
    return *page;
}

// The setting's value from the server's configuration: a SET cannot change it, even while
// dbcipher is not loaded and the setting is a placeholder that any role may set.
const char* configuredKeyFile() {
    if (GetConfigOption(keySetting, true, false) == nullptr) return nullptr;
    return GetConfigOptionResetString(keySetting);
}

// The key file is read for every password: a reload that names another file, or new bytes in
// the same one, counts from the next connection on, and no key outlives its bind.
void prepareServerKey(const char* fname, PasswordPage& secrets) {
    const char* path = configuredKeyFile();
    if (path == nullptr || path[0] == '\0') {
        QUENBY_REPORT_WITH(
            ERROR, fname,
            (errcode(ERRCODE_OBJECT_NOT_IN_PREREQUISITE_STATE),
             errhint("Set %s in postgresql.conf to the key file that sealed the directory "
                     "passwords, and reload the configuration.",
                     keySetting),
             hiddenStatement()),
            "no server key: %s is not set", keySetting);
    }
    readServerKeyFile({keySetting, "dbcipher's key file", path}, secrets.fileKey);
    const int prepared = AES_128_CBC_PrepareKey(&secrets.key, secrets.fileKey);
    wipeSecret(secrets.fileKey, sizeof secrets.fileKey);
    if (prepared != 1) {
        QUENBY_REPORT_WITH(ERROR, fname, hiddenStatement(), "could not prepare the server key");
    }
}

void reportUnopened(const char* fname, const char* serverName, EnvelopeOpening opening) {
    if (opening == EnvelopeOpening::noMemory) reportOutOfMemory(fname);
    QUENBY_REPORT_WITH(ERROR, fname,
                       (errcode(ERRCODE_INVALID_PASSWORD),
                        errdetail("The password of the user mapping for server \"%s\" was not "
                                  "sealed under the key of %s; nothing was sent.",
                                  serverName, keySetting),
                        errhint("Seal it again with morvex -E PG under that key and set it "
                                "with ALTER USER MAPPING."),
                        hiddenStatement()),
                       "the password for server \"%s\" does not open under the server key",
                       serverName);
}

}  // namespace

const char* openServerPassword(const char* fname, const char* serverName, const char* envelope) {
    PasswordPage& secrets = thePage();
    prepareServerKey(fname, secrets);
    EnvelopeOpening opening = EnvelopeOpening::opened;
    char* opened = openEnvelopeUnderKey(envelope, secrets.key, &opening);
    AES_128_CBC_ForgetKey(&secrets.key);
    if (opened == nullptr) reportUnopened(fname, serverName, opening);
    const size_t length = strnlen(opened, sizeof secrets.password - 1);
    memcpy(secrets.password, opened, length);
    secrets.password[length] = '\0';
    wipeSecret(opened, strlen(opened));
    free(opened);
    return secrets.password;
}

void forgetOpenedPassword() noexcept {
    if (page != nullptr) wipeSecret(page->password, sizeof page->password);
}

}  // namespace quenby
