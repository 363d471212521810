#include "agent/events.h"

#include <unistd.h>

#include <string>

#include "agent/decision.h"
#include "agent/metrics.h"
#include "store/paths.h"
#include "store/spawn.h"
#include "store/event_log.h"
#include "store/event_text.h"
#include "store/mail.h"
#include "store/sms.h"

// Seconds between two position-7 notices of one unit.
static const time_t MAINS_NOTICE_SPACING = 60;

// What the module keeps of a unit between checks.
struct UnitNotices {
    bool mains_noticed = false;  // a position-7 notice went out since the start
    time_t mains_noticed_at = 0; // ... at this time
    int held = 0;                // position-7 changes since then, not notified
    char type = '0';             // status character 3 as last taken; '0' before
};

static UnitNotices units[4];

static UnitNotices *notices_of(int address)
{
    return address >= 1 && address <= 4 ? &units[address - 1] : nullptr;
}

void events_reset()
{
    for (UnitNotices &u : units)
        u = UnitNotices{};
}

// "Set/event-hook", when it is an executable: started for every event with
// the unit, the event code, the new state and the event text, without a
// shell (and reaped by the loop, as every child).
static void run_hook(int address, int code, char state, const char *text)
{
    std::string hook = program_dir() + "Set/event-hook";
    if (access(hook.c_str(), X_OK) != 0)
        return;
    std::string unit = std::to_string(address), event = std::to_string(code);
    std::string new_state(1, state);
    std::string line = hook + " " + unit + " " + event + " " + new_state + " '" + text + "'";
    spawn_command(line.c_str(), {hook, unit, event, new_state, text});
}

// The event log line and the metrics counter of one event.
static void log_event(int address, int code, char state, char type, time_t now)
{
    event_log_append_at(now, address, code, state, type);
    metrics_count_event(address, code);
}

// The notice of one event: a mail to every receiver of `mail` and an SMS
// to every number of `sms` (nullptr: none), and the hook.
static void notify(int address, int code, char state, const char *text, const MailSettings *mail,
                   const SmsSettings *sms, time_t now)
{
    if (mail)
        mail_notify(mail->mail_server, mail->mail_sender, mail->mail_receivers, text, address,
                    now);
    if (sms)
        sms_notify(sms->sms_gateway, sms->sms_id, sms->sms_api_id, sms->sms_phones, text,
                   address, now);
    run_hook(address, code, state, text);
}

// A notice of status position `p`, by mail and SMS as their flags choose.
static void notify_position(int address, int p, char state, const char *text, time_t now)
{
    MailSettings mail = mail_settings_get();
    SmsSettings sms = sms_settings_get();
    notify(address, p, state, text, mail.mail_events[p] == '1' ? &mail : nullptr,
           sms.sms_events[p] == '1' ? &sms : nullptr, now);
}

static bool mains_notice_due(const UnitNotices &u, time_t now)
{
    // A clock set back cannot tell the minute: the notice is not held.
    return !u.mains_noticed || now - u.mains_noticed_at >= MAINS_NOTICE_SPACING ||
           now < u.mains_noticed_at;
}

// Position 7 at a check: `changed` when it changed at this check. A notice
// when its minute allows, with the count when changes were held back.
static void mains_notices(int address, bool changed, char state, char type, time_t now)
{
    UnitNotices *u = notices_of(address);
    const char *text = event_notice_text(STATUS_AC_FAILED, state, type);
    if (u == nullptr) {
        if (changed)
            notify_position(address, STATUS_AC_FAILED, state, text, now);
        return;
    }
    if (changed)
        u->held++;
    if (u->held == 0 || !mains_notice_due(*u, now))
        return;
    std::string line = text;
    if (u->held > 1 || !changed)
        line += " (" + std::to_string(u->held) + (u->held == 1 ? " change" : " changes") +
                " since the last notice)";
    notify_position(address, STATUS_AC_FAILED, state, line.c_str(), now);
    u->mains_noticed = true;
    u->mains_noticed_at = now;
    u->held = 0;
}

void event_report(int address, int code, char state, time_t now)
{
    UnitNotices *u = notices_of(address);
    char type = u ? u->type : '0';
    log_event(address, code, state, type, now);
    const char *text = event_notice_text(code, state, type);
    if (text == nullptr)
        return;
    MailSettings mail = mail_settings_get();
    SmsSettings sms = sms_settings_get();
    notify(address, code, state, text, &mail, &sms, now);
}

void check_status_events(MachineContext *ctx, time_t now)
{
    machine_sync_connection(ctx);
    MachineValues v;
    machine_values(ctx, &v);
    // Positions 0..7 count once the status was taken; the connection once
    // the unit answered or was given up (a unit being reopened at start-up
    // is neither connected nor lost yet).
    int first = v.status_taken ? 0 : STATUS_CONNECTION;
    int last = v.connected || v.fail_count >= 4 ? STATUS_CONNECTION : STATUS_CONNECTION - 1;
    char type = v.status[STATUS_TYPE];
    if (UnitNotices *u = notices_of(v.address); u && v.status_taken)
        u->type = type;
    bool changed = false;
    for (int p = first; p <= last; p++)
        changed = changed || v.status[p] != v.status_prev[p];
    bool mains_changed = false;
    if (changed) {
        for (int p = first; p <= last; p++) {
            char state = v.status[p];
            if (state == v.status_prev[p] || p == STATUS_BEEPER || p == STATUS_TYPE)
                continue;
            log_event(v.address, p, state, type, now);
            if (p == STATUS_AC_FAILED) {
                mains_notices(v.address, true, state, type, now);
                mains_changed = true;
            } else {
                notify_position(v.address, p, state, event_notice_text(p, state, type), now);
            }
        }
        if (first == 0 && last == STATUS_CONNECTION) {
            machine_commit_status(ctx);
            decision_note_status(v.address - 1, v.status);
        } else {
            for (int p = first; p <= last; p++)
                machine_preset_status_prev(ctx, p, v.status[p]);
        }
    }
    if (!mains_changed) // changes held back are told once their minute is over
        mains_notices(v.address, false, v.status[STATUS_AC_FAILED], type, now);
    DecisionSight sight;
    sight.taken = v.status_taken != 0;
    sight.lost = !v.connected && v.fail_count >= 4;
    sight.mains_failed = v.status[STATUS_AC_FAILED] == '1';
    sight.battery_low = v.status[STATUS_BATTERY_LOW] == '1';
    sight.shutdown_active = v.status[STATUS_SHUTDOWN] == '1';
    decision_observe(now, v.address - 1, sight);
}
