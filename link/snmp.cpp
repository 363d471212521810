#include "link/snmp.h"


#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/snmpUDPDomain.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

// Most alarm rows read in one poll; a card that lists more is read that far.
static const int ALARM_ROWS_MAX = 32;

// The library is set up once per process, with only what v1 and v2c over
// UDP need: the UDP transport. The whole init_snmp would read configuration
// and MIB files and set up SNMPv3's cryptography, which triples the
// daemon's memory; every identifier here is numeric, and no file is read.
static void library_init()
{
    static std::once_flag once;
    std::call_once(once, [] {
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
        netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
        netsnmp_udp_ctor(); // the UDP transport alone: no TLS or DTLS domains to set up
    });
}

// "1.3.6..." into `out`; false for anything that is not dotted numbers.
static bool oid_parse(const char *text, oid *out, size_t *len)
{
    size_t n = 0;
    const char *p = text;
    while (*p) {
        char *end = nullptr;
        unsigned long part = strtoul(p, &end, 10);
        if (end == p || n >= MAX_OID_LEN || (*end != '.' && *end != '\0'))
            return false;
        out[n++] = part;
        p = *end == '.' ? end + 1 : end;
    }
    *len = n;
    return n >= 2;
}

static std::string oid_text(const oid *name, size_t len)
{
    std::string text;
    for (size_t i = 0; i < len; i++) {
        if (i)
            text += '.';
        text += std::to_string(name[i]);
    }
    return text;
}

SnmpValue snmp_link_value(const variable_list *var)
{
    SnmpValue v;
    switch (var->type) {
    case ASN_INTEGER:
        v.kind = SNMP_NUMBER;
        v.number = *var->val.integer;
        break;
    case ASN_COUNTER:
    case ASN_GAUGE:
    case ASN_TIMETICKS:
        v.kind = SNMP_NUMBER; // unsigned 32 bits: never negative, whatever the long holds
        v.number = static_cast<long long>(static_cast<unsigned long>(*var->val.integer) &
                                          0xffffffffUL);
        break;
    case ASN_OCTET_STR:
        v.kind = SNMP_TEXT;
        v.text.assign(reinterpret_cast<const char *>(var->val.string), var->val_len);
        break;
    case ASN_OBJECT_ID:
        v.kind = SNMP_IDENTIFIER;
        v.text = oid_text(var->val.objid, var->val_len / sizeof(oid));
        break;
    default:
        break; // no such object or instance, end of view, types of no use here
    }
    return v;
}

bool snmp_link_set(SnmpLink *link, const std::string &device, const std::string &community,
                   std::string *why)
{
    std::string host;
    int port = 0;
    int got = snmp_map_address(device, SNMP_LINK_PORT, &host, &port);
    if (got == SNMP_ADDRESS_BAD_PORT) {
        *why = "the port of \"" + device + "\" is not 1..65535";
        return false;
    }
    if (got != SNMP_ADDRESS_OK) {
        *why = "\"" + device + "\" is not an IPv4 address (A.B.C.D or A.B.C.D:PORT)";
        return false;
    }
    snmp_link_close(link);
    link->host = host;
    link->port = port;
    link->community = community.empty() ? "public" : community;
    link->version = -1;
    link->trying_v1 = false;
    return true;
}

void snmp_link_close(SnmpLink *link)
{
    if (link->session)
        snmp_sess_close(link->session);
    link->session = nullptr;
}

// The session for the version to try now; nullptr when it cannot be opened.
static void *session_of(SnmpLink *link)
{
    long want = link->version >= 0 ? link->version
                                   : link->trying_v1 ? SNMP_VERSION_1 : SNMP_VERSION_2c;
    if (link->session) {
        netsnmp_session *s = snmp_sess_session(link->session);
        if (s && s->version == want)
            return link->session;
        snmp_link_close(link);
    }
    library_init();
    netsnmp_session s;
    snmp_sess_init(&s);
    std::string peer = "udp:" + link->host + ":" + std::to_string(link->port);
    s.peername = const_cast<char *>(peer.c_str());
    s.version = want;
    s.community = reinterpret_cast<u_char *>(const_cast<char *>(link->community.c_str()));
    s.community_len = link->community.size();
    s.timeout = SNMP_LINK_TIMEOUT_US;
    s.retries = SNMP_LINK_RETRIES;
    link->session = snmp_sess_open(&s); // copies what it keeps
    if (!link->session)
        printf("snmp: cannot open a session to %s\n", peer.c_str());
    return link->session;
}

// One request and its answer; nullptr when none came (then, while the
// version is not known, the next request tries the other one).
static netsnmp_pdu *exchange(SnmpLink *link, netsnmp_pdu *pdu)
{
    void *session = session_of(link);
    if (!session) {
        snmp_free_pdu(pdu);
        return nullptr;
    }
    netsnmp_pdu *response = nullptr;
    int status = snmp_sess_synch_response(session, pdu, &response); // frees pdu
    if (status != STAT_SUCCESS || !response) {
        if (response)
            snmp_free_pdu(response);
        if (link->version < 0)
            link->trying_v1 = !link->trying_v1;
        return nullptr;
    }
    if (link->version < 0)
        link->version = link->trying_v1 ? SNMP_VERSION_1 : SNMP_VERSION_2c;
    return response;
}

// The index in snmp_objects of a varbind's name; -1 for none.
static int object_of(const variable_list *var, oid names[][MAX_OID_LEN], const size_t *lens)
{
    for (int i = 0; i < SNMP_OBJECTS; i++)
        if (snmp_oid_compare(var->name, var->name_length, names[i], lens[i]) == 0)
            return i;
    return -1;
}

static bool get_objects(SnmpLink *link, SnmpAnswers *answers)
{
    static oid names[SNMP_OBJECTS][MAX_OID_LEN];
    static size_t lens[SNMP_OBJECTS];
    static std::once_flag parsed;
    std::call_once(parsed, [] {
        for (int i = 0; i < SNMP_OBJECTS; i++)
            oid_parse(snmp_objects[i].oid, names[i], &lens[i]);
    });
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    for (int i = 0; i < SNMP_OBJECTS; i++)
        snmp_add_null_var(pdu, names[i], lens[i]);
    // SNMP v1 refuses a whole GET for one missing object: it is left out
    // and the rest asked again.
    for (int round = 0; round <= SNMP_OBJECTS && pdu; round++) {
        netsnmp_pdu *response = exchange(link, pdu);
        if (!response)
            return false;
        pdu = nullptr;
        if (response->errstat == SNMP_ERR_NOSUCHNAME) {
            pdu = snmp_fix_pdu(response, SNMP_MSG_GET); // nullptr when nothing is left
            snmp_free_pdu(response);
            if (!pdu)
                return true;
            continue;
        }
        if (response->errstat != SNMP_ERR_NOERROR) {
            snmp_free_pdu(response);
            return false;
        }
        for (variable_list *var = response->variables; var; var = var->next_variable) {
            int i = object_of(var, names, lens);
            if (i < 0)
                continue;
            SnmpValue v = snmp_link_value(var);
            answers->values[i] = v.kind == snmp_objects[i].kind ? v : SnmpValue{};
        }
        snmp_free_pdu(response);
        return true;
    }
    if (pdu)
        snmp_free_pdu(pdu);
    return true;
}

// The alarm column row by row (GETNEXT); false when the card stopped
// answering on the way.
static bool walk_alarms(SnmpLink *link, SnmpAnswers *answers)
{
    oid column[MAX_OID_LEN], at[MAX_OID_LEN];
    size_t column_len = 0;
    oid_parse(SNMP_ALARM_COLUMN, column, &column_len);
    memcpy(at, column, column_len * sizeof(oid));
    size_t at_len = column_len;
    for (int row = 0; row < ALARM_ROWS_MAX; row++) {
        netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GETNEXT);
        snmp_add_null_var(pdu, at, at_len);
        netsnmp_pdu *response = exchange(link, pdu);
        if (!response)
            return false;
        variable_list *var = response->variables;
        bool inside = response->errstat == SNMP_ERR_NOERROR && var &&
                      var->name_length > column_len &&
                      snmp_oid_compare(var->name, column_len, column, column_len) == 0;
        if (inside) {
            SnmpValue v = snmp_link_value(var);
            if (v.kind == SNMP_IDENTIFIER)
                answers->alarms.push_back(v.text);
            memcpy(at, var->name, var->name_length * sizeof(oid));
            at_len = var->name_length;
        }
        snmp_free_pdu(response);
        if (!inside)
            break; // past the column: every row was read
    }
    return true;
}

bool snmp_link_poll(SnmpLink *link, SnmpAnswers *answers)
{
    *answers = SnmpAnswers{};
    if (!get_objects(link, answers))
        return false;
    const SnmpValue &present = answers->values[SNMP_ALARMS_PRESENT];
    if (present.kind == SNMP_NUMBER && present.number == 0) {
        answers->alarms_known = true;
    } else if (present.kind == SNMP_NUMBER) {
        if (!walk_alarms(link, answers))
            return false;
        answers->alarms_known = true;
    }
    return true;
}

bool snmp_link_send(SnmpLink *link, const std::vector<SnmpSet> &sets)
{
    std::string peer = link->host + ":" + std::to_string(link->port);
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_SET);
    oid name[MAX_OID_LEN];
    size_t len = 0;
    if (snmp_map_is_test(sets)) {
        // The spin lock as it is now goes with the test, so two managers
        // never start tests over each other.
        oid_parse(SNMP_TEST_SPIN_LOCK, name, &len);
        netsnmp_pdu *get = snmp_pdu_create(SNMP_MSG_GET);
        snmp_add_null_var(get, name, len);
        if (netsnmp_pdu *response = exchange(link, get)) {
            variable_list *var = response->variables;
            if (response->errstat == SNMP_ERR_NOERROR && var && var->type == ASN_INTEGER) {
                long lock = *var->val.integer;
                snmp_pdu_add_variable(pdu, name, len, ASN_INTEGER, &lock, sizeof lock);
            }
            snmp_free_pdu(response);
        }
    }
    for (const SnmpSet &s : sets) {
        oid_parse(s.oid, name, &len);
        if (s.kind == SNMP_IDENTIFIER) {
            oid value[MAX_OID_LEN];
            size_t value_len = 0;
            oid_parse(s.text.c_str(), value, &value_len);
            snmp_pdu_add_variable(pdu, name, len, ASN_OBJECT_ID, value, value_len * sizeof(oid));
        } else {
            long number = static_cast<long>(s.number);
            snmp_pdu_add_variable(pdu, name, len, ASN_INTEGER, &number, sizeof number);
        }
    }
    netsnmp_pdu *response = exchange(link, pdu);
    if (!response) {
        printf("snmp: the card at %s did not answer a command\n", peer.c_str());
        return false;
    }
    bool ok = response->errstat == SNMP_ERR_NOERROR;
    if (!ok) {
        std::string what = "?";
        long index = 1;
        for (variable_list *var = response->variables; var; var = var->next_variable, index++)
            if (index == response->errindex)
                what = oid_text(var->name, var->name_length);
        printf("snmp: the card at %s refused the SET of %s: %s\n", peer.c_str(), what.c_str(),
               snmp_errstring(static_cast<int>(response->errstat)));
    }
    snmp_free_pdu(response);
    return ok;
}
