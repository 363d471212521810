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
    bool changed = false;
    for (int p = first; p <= last; p++)
        changed = changed || v.status[p] != v.status_prev[p];
    if (changed) {
        MailSettings mail = mail_settings_get();
        SmsSettings sms = sms_settings_get();
        for (int p = first; p <= last; p++) {
            char state = v.status[p];
            if (state == v.status_prev[p] || p == STATUS_BEEPER || p == STATUS_TYPE)
                continue;
            event_log_append_at(now, v.address, p, state, v.status[STATUS_TYPE]);
            metrics_count_event(v.address, p);
            const char *text = event_notice_text(p, state, v.status[STATUS_TYPE]);
            if (mail.mail_events[p] == '1')
                mail_notify(mail.mail_server, mail.mail_sender, mail.mail_receivers, text,
                            v.address, now);
            if (sms.sms_events[p] == '1')
                sms_notify(sms.sms_gateway, sms.sms_id, sms.sms_api_id, sms.sms_password,
                           sms.sms_phones, text, v.address, now);
            run_hook(v.address, p, state, text);
        }
        if (first == 0 && last == STATUS_CONNECTION) {
            machine_commit_status(ctx);
            decision_note_status(v.address - 1, v.status);
        } else {
            for (int p = first; p <= last; p++)
                machine_preset_status_prev(ctx, p, v.status[p]);
        }
    }
    DecisionSight sight;
    sight.taken = v.status_taken != 0;
    sight.lost = !v.connected && v.fail_count >= 4;
    sight.mains_failed = v.status[STATUS_AC_FAILED] == '1';
    sight.battery_low = v.status[STATUS_BATTERY_LOW] == '1';
    sight.shutdown_active = v.status[STATUS_SHUTDOWN] == '1';
    decision_observe(now, v.address - 1, sight);
}
