// Directory servers and their accounts: one table of options, read by the validator and by
// connecting alike, so that nothing the validator took can fail differently later.
#include "directory_servers.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "foreign_table_options.h"
#include "hidden_statement.h"

extern "C" {
#include "access/reloptions.h"
#include "catalog/pg_attribute.h"
#include "catalog/pg_foreign_table.h"
#include "catalog/pg_foreign_data_wrapper.h"
#include "catalog/pg_foreign_server.h"
#include "catalog/pg_user_mapping.h"
#include "commands/defrem.h"
#include "fmgr.h"
#include "foreign/foreign.h"
#include "lib/stringinfo.h"
#include "utils/acl.h"
#include "utils/guc.h"

PG_FUNCTION_INFO_V1(quenby_ldap_fdw_validator);
}

namespace quenby {
namespace {

constexpr const char* wrapperName = "quenby_ldap_fdw";
constexpr int defaultLdapPort = 389;
constexpr int defaultLdapsPort = 636;

// Option values as the validator and the reader take them; false for a value that is refused.
using OptionParser = bool (*)(const char* value, DirectoryServer* server);

bool parsePort(const char* value, DirectoryServer* server) {
    char* end = nullptr;
    errno = 0;
    const long port = strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || port < 1 || port > 65535) return false;
    server->port = static_cast<int>(port);
    return true;
}

bool parseTls(const char* value, DirectoryServer* server) {
    static const struct {
        const char* name;
        TlsMode mode;
    } modes[] = {
        {"starttls", TlsMode::startTls}, {"ldaps", TlsMode::ldaps}, {"none", TlsMode::none}};
    for (const auto& mode : modes) {
        if (strcmp(value, mode.name) != 0) continue;
        server->tls = mode.mode;
        return true;
    }
    return false;
}

// The library's names of the levels, or their numbers as pg_ldap_open_ssl takes them.
bool parseCertLevel(const char* value, DirectoryServer* server) {
    static const char* const names[] = {"never", "hard", "demand", "allow", "try"};
    for (int level = LDAP_OPT_X_TLS_NEVER; level <= LDAP_OPT_X_TLS_TRY; ++level) {
        const char digit[2] = {static_cast<char>('0' + level), '\0'};
        if (strcmp(value, names[level]) != 0 && strcmp(value, digit) != 0) continue;
        server->certLevel = level;
        return true;
    }
    return false;
}

// As the settings quenby_ldap.connect_timeout and io_timeout read them: milliseconds, or a
// number with a unit ("5s", "2min"); 0 waits without a limit.
template <int DirectoryServer::*field>
bool parseMillis(const char* value, DirectoryServer* server) {
    int parsed = 0;
    if (!parse_int(value, &parsed, GUC_UNIT_MS, nullptr) || parsed < 0) return false;
    server->*field = parsed;
    return true;
}

// A host or a file path: any text but the empty one.
template <const char* DirectoryServer::*field>
bool parseText(const char* value, DirectoryServer* server) {
    server->*field = value;
    return value[0] != '\0';
}

bool anyText(const char*, DirectoryServer*) {
    return true;
}

bool envelopeOnly(const char* value, DirectoryServer*) {
    return looksLikeEnvelope(value);
}

// Foreign tables and their columns.
bool tableScope(const char* value, DirectoryServer*) {
    int scope = 0;
    return parseScope(value, &scope);
}

bool tablePageSize(const char* value, DirectoryServer*) {
    int pageSize = 0;
    return parsePageSize(value, &pageSize);
}

bool tableFilter(const char* value, DirectoryServer*) {
    return looksLikeFilter(value);
}

bool columnAttribute(const char* value, DirectoryServer*) {
    return isAttributeDescription(value);
}

struct OptionSpec {
    const char* name;
    Oid catalog;
    OptionParser parse;
    const char* expected;  // what a valid value is, for the hint
};

const OptionSpec optionSpecs[] = {
    {"host", ForeignServerRelationId, parseText<&DirectoryServer::host>, "a host name or address"},
    {"port", ForeignServerRelationId, parsePort, "an integer from 1 to 65535"},
    {"tls", ForeignServerRelationId, parseTls, "starttls, ldaps or none"},
    {"cert_level", ForeignServerRelationId, parseCertLevel,
     "never, hard, demand, allow, try or 0 to 4"},
    {"cert_file", ForeignServerRelationId, parseText<&DirectoryServer::certFile>, "a file path"},
    {"key_file", ForeignServerRelationId, parseText<&DirectoryServer::keyFile>, "a file path"},
    {"ca_file", ForeignServerRelationId, parseText<&DirectoryServer::caFile>, "a file path"},
    {"connect_timeout", ForeignServerRelationId,
     parseMillis<&DirectoryServer::connectTimeoutMillis>,
     "milliseconds, or a number with a unit such as 5s"},
    {"io_timeout", ForeignServerRelationId, parseMillis<&DirectoryServer::ioTimeoutMillis>,
     "milliseconds, or a number with a unit such as 5s"},
    {"bind_dn", UserMappingRelationId, anyText, "a distinguished name"},
    {"password", UserMappingRelationId, envelopeOnly,
     "the password sealed by morvex -E PG under the server key, \"@@...\""},
    {"base", ForeignTableRelationId, anyText, "a distinguished name"},
    {"scope", ForeignTableRelationId, tableScope, "base, one or subtree"},
    {"filter", ForeignTableRelationId, tableFilter,
     "an LDAP filter in parentheses, such as (objectClass=user)"},
    {"page_size", ForeignTableRelationId, tablePageSize, "0 (no paging) or a positive integer"},
    {"attribute", AttributeRelationId, columnAttribute,
     "an attribute name, such as mail or memberOf"},
};

bool isSecret(const OptionSpec& spec) {
    return spec.catalog == UserMappingRelationId && strcmp(spec.name, "password") == 0;
}

const OptionSpec* specOf(const char* name, Oid catalog) {
    for (const OptionSpec& spec : optionSpecs) {
        if (spec.catalog == catalog && strcmp(spec.name, name) == 0) return &spec;
    }
    return nullptr;
}

// "host, port, ..." for the hint of an unknown option; "(none)" for the wrapper itself.
const char* optionNamesOf(Oid catalog) {
    StringInfoData names;
    initStringInfo(&names);
    for (const OptionSpec& spec : optionSpecs) {
        if (spec.catalog != catalog) continue;
        appendStringInfo(&names, "%s%s", names.len > 0 ? ", " : "", spec.name);
    }
    return names.len > 0 ? names.data : "(none)";
}

DirectoryServer defaultServer(const char* name) {
    return DirectoryServer{name, nullptr, 0, TlsMode::startTls, LDAP_OPT_X_TLS_DEMAND, "", "",
                           "",   -1,      -1};
}

// Checks one option; `fname` names the SQL function in the report. The value of a password is
// never quoted, and its statement (which holds the text) stays out of the log.
void checkOption(const char* fname, DefElem* option, Oid catalog, DirectoryServer* parsed) {
    const OptionSpec* spec = specOf(option->defname, catalog);
    if (spec == nullptr) {
        QUENBY_REPORT_WITH(ERROR, fname,
                           (errcode(ERRCODE_FDW_INVALID_OPTION_NAME),
                            errhint("Valid options here: %s.", optionNamesOf(catalog))),
                           "invalid option \"%s\"", option->defname);
    }
    const char* value = defGetString(option);
    if (spec->parse(value, parsed)) return;
    if (isSecret(*spec)) {
        QUENBY_REPORT_WITH(
            ERROR, fname,
            (errcode(ERRCODE_FDW_INVALID_ATTRIBUTE_VALUE),
             errhint("Expected %s; a password in clear is never stored.", spec->expected),
             hiddenStatement()),
            "invalid value for option \"%s\"", spec->name);
    }
    QUENBY_REPORT_WITH(
        ERROR, fname,
        (errcode(ERRCODE_FDW_INVALID_ATTRIBUTE_VALUE), errhint("Expected %s.", spec->expected)),
        "invalid value for option \"%s\": \"%s\"", spec->name, value);
}

// A client certificate comes with its key, and a key with its certificate.
void checkClientCertificate(const char* fname, const DirectoryServer& server) {
    if ((server.certFile[0] == '\0') == (server.keyFile[0] == '\0')) return;
    QUENBY_REPORT_WITH(ERROR, fname,
                       (errcode(ERRCODE_FDW_OPTION_NAME_NOT_FOUND),
                        errhint("Set cert_file and key_file together, or neither.")),
                       "option \"%s\" needs option \"%s\"",
                       server.certFile[0] != '\0' ? "cert_file" : "key_file",
                       server.certFile[0] != '\0' ? "key_file" : "cert_file");
}

DirectoryServer parseOptions(const char* fname, List* options, Oid catalog, const char* name) {
    DirectoryServer server = defaultServer(name);
    ListCell* cell;
    foreach (cell, options) {
        checkOption(fname, static_cast<DefElem*>(lfirst(cell)), catalog, &server);
    }
    if (catalog == ForeignServerRelationId) checkClientCertificate(fname, server);
    return server;
}

bool isBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=' || c == '\n';
}

}  // namespace

bool looksLikeEnvelope(const char* text) {
    constexpr size_t saltBlockLength = 24;
    constexpr size_t shortestTextPart = 24;
    if (strncmp(text, "@@", 2) != 0) return false;
    const char* sealed = text + 2;
    const size_t length = strlen(sealed);
    if (length < shortestTextPart + saltBlockLength) return false;
    for (const char* c = sealed; *c != '\0'; ++c) {
        if (!isBase64Character(*c)) return false;
    }
    // The salt block is the Base64 of one 16-byte block: 22 characters and "==".
    const char* saltBlock = sealed + length - saltBlockLength;
    return strchr(saltBlock, '\n') == nullptr && strcmp(saltBlock + 22, "==") == 0 &&
           strchr(saltBlock, '=') == saltBlock + 22;
}

DirectoryServer* lookUpDirectoryServer(const char* fname, const char* name, Oid* serverId) {
    ForeignServer* found = GetForeignServerByName(name, false);
    const AclResult usage = pg_foreign_server_aclcheck(found->serverid, GetUserId(), ACL_USAGE);
    if (usage != ACLCHECK_OK) aclcheck_error(usage, OBJECT_FOREIGN_SERVER, found->servername);
    if (strcmp(GetForeignDataWrapper(found->fdwid)->fdwname, wrapperName) != 0) {
        QUENBY_REPORT_WITH(ERROR, fname, errcode(ERRCODE_WRONG_OBJECT_TYPE),
                           "server \"%s\" is not a server of %s", found->servername, wrapperName);
    }
    auto* server = static_cast<DirectoryServer*>(palloc(sizeof(DirectoryServer)));
    *server = parseOptions(fname, found->options, ForeignServerRelationId, found->servername);
    if (server->host == nullptr) {
        QUENBY_REPORT_WITH(ERROR, fname, errcode(ERRCODE_FDW_OPTION_NAME_NOT_FOUND),
                           "server \"%s\" has no option \"host\"", found->servername);
    }
    if (server->port == 0) {
        server->port = server->tls == TlsMode::ldaps ? defaultLdapsPort : defaultLdapPort;
    }
    *serverId = found->serverid;
    return server;
}

DirectoryAccount lookUpDirectoryAccount(const char* fname, const DirectoryServer& server,
                                        Oid serverId) {
    UserMapping* mapping = GetUserMapping(GetUserId(), serverId);
    DirectoryAccount account = {nullptr, nullptr};
    ListCell* cell;
    foreach (cell, mapping->options) {
        DefElem* option = static_cast<DefElem*>(lfirst(cell));
        if (strcmp(option->defname, "bind_dn") == 0) account.bindDn = defGetString(option);
        if (strcmp(option->defname, "password") == 0) {
            account.passwordEnvelope = defGetString(option);
        }
    }
    const char* missing = account.bindDn == nullptr             ? "bind_dn"
                          : account.passwordEnvelope == nullptr ? "password"
                                                                : nullptr;
    if (missing != nullptr) {
        QUENBY_REPORT_WITH(ERROR, fname, errcode(ERRCODE_FDW_OPTION_NAME_NOT_FOUND),
                           "the user mapping for server \"%s\" has no option \"%s\"", server.name,
                           missing);
    }
    return account;
}

}  // namespace quenby

extern "C" Datum quenby_ldap_fdw_validator(PG_FUNCTION_ARGS) {
    List* options = untransformRelOptions(PG_GETARG_DATUM(0));
    const Oid catalog = PG_GETARG_OID(1);
    quenby::parseOptions(__func__, options, catalog, nullptr);
    PG_RETURN_VOID();
}
