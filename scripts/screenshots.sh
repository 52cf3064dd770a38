#!/usr/bin/env bash
# Screenshots of the main window with mail in its lists, the message preview and the find field,
# taken on a virtual X display (Xvfb with the openbox window manager) with the program run as an
# ordinary user in a folder of its own. Run as root:
#
#   bash scripts/screenshots.sh [PROGRAM] [OUTPUT-FOLDER]
#
# PROGRAM defaults to build/test/bin/tessivar, OUTPUT-FOLDER to build/screenshots. The user
# "tessivar-shots" is created when missing. Needs Xvfb, openbox, imagemagick (import), xdotool and
# sqlite3.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program="$(realpath "${1:-$root/build/test/bin/tessivar}")"
output="$(realpath -m "${2:-$root/build/screenshots}")"
user=tessivar-shots
display=:${TESSIVAR_SHOTS_DISPLAY:-77}
mkdir -p "$output"
id "$user" >/dev/null 2>&1 || useradd --create-home --shell /usr/sbin/nologin "$user"
home=$(mktemp -d /tmp/tessivar-shots-XXXXXX)
chown "$user:" "$home"
chmod o+rx "$(dirname "$program")"

pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    pkill -TERM -u "$user" -f "^$program" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$home"
}
trap cleanup EXIT

as_user() {
    runuser -u "$user" -- env HOME="$home" TESSIVAR_HOME="$home/data/" TESSIVAR_REGISTRY_DIR="$home/registry/" \
        XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" DISPLAY="$display" \
        TESSIVAR_SERVICE_HOST=127.0.0.1:1 ASAN_OPTIONS=detect_leaks=0 "$@"
}
as_user mkdir -p "$home/data/store" "$home/registry" "$home/config" "$home/run"
as_user chmod 700 "$home/run"

# The database: created by a short windowless start, then filled with senders and mail.
as_user "$program" headless >/dev/null 2>&1 &
starter=$!
for _ in $(seq 100); do [ -s "$home/data/Tessivar.db" ] && break; sleep 0.1; done
sleep 1
# runuser does not pass the signal on: the program itself is told to stop.
pkill -TERM -u "$user" -f "^$program headless" 2>/dev/null || true
wait "$starter" 2>/dev/null || true

offset=$(date +%:z)
when() { date -d "$1" "+%Y-%m-%dT%H:%M:%S.0000000$offset"; }
as_user sqlite3 "$home/data/Tessivar.db" <<SQL
UPDATE Configuration SET UserName = 'me@example.test', Password = 'secret';
INSERT INTO Accounts(ID, EmailAddress, RemoteServer, RemotePort, Username, Enabled)
    VALUES(1, 'me@example.test', 'pop.example.test', 110, 'me', 0);
INSERT INTO DomainNames(ID, DomainName, Notes, ApprovalStatus, Deleted, Modified) VALUES
    (1, 'friends.example', '', 'A', 0, 0), (2, 'offers.example', '', 'B', 0, 0),
    (3, 'unknown-shop.example', '', '?', 0, 0), (4, 'bank.example', '', '?', 0, 0);
INSERT INTO EmailAddresses(ID, Username, DomainNameID, DisplayName, Notes, ApprovalStatus, AuthenticationStatus,
    Deleted, Modified) VALUES
    (1, 'anna.lindqvist', 1, 'Anna Lindqvist', '', 'A', '?', 0, 0),
    (2, 'deals', 2, 'Great Deals', '', '?', '?', 0, 0),
    (3, 'orders', 3, 'Unknown Shop Order Desk', '', '?', 'P', 0, 0),
    (4, 'statements', 4, 'Bank Statements', '', '?', 'A', 0, 0),
    (5, 'marc.dubois', 3, 'Marc Dubois', '', '?', '?', 0, 0);
INSERT INTO Emails(ID, AccountID, MessageID, FromEmailAddressID, FromDisplayName, Subject, Received, ApprovalStatus,
    WordBlocked, AdultBlocked, Deleted) VALUES
    (1, 1, '<1@x>', 1, 'Anna Lindqvist', 'Photos from the weekend at the lake house', '$(when "-2 hours")', '?', 0, 0, 0),
    (2, 1, '<2@x>', 2, 'Great Deals', 'Only today: everything must go, up to 90% off every single item in the store',
        '$(when "-1 day")', '?', 1, 0, 0),
    (3, 1, '<3@x>', 3, 'Unknown Shop Order Desk', 'Your invoice 2026-0412 for order 88213', '$(when "-30 minutes")',
        '?', 0, 0, 0),
    (4, 1, '<4@x>', 4, 'Bank Statements', 'Your monthly statement is ready', '$(when "-3 hours")', '?', 0, 0, 0),
    (5, 1, '<5@x>', 5, 'Marc Dubois', 'Réunion de jeudi : ordre du jour et invoice', '$(when "-5 hours")', '?', 0, 0, 0);
SQL

store="$home/data/store"
cat >"$store/00000003.eml" <<'EML'
From: Unknown Shop Order Desk <orders@unknown-shop.example>
To: me@example.test
Date: Tue, 8 Dec 2026 09:12:44 +0100
Subject: Your invoice 2026-0412 for order 88213
MIME-Version: 1.0
Content-Type: multipart/mixed; boundary="outer"

--outer
Content-Type: multipart/alternative; boundary="alt"

--alt
Content-Type: text/html; charset=windows-1252
Content-Transfer-Encoding: quoted-printable

<html><head><style>p{color:red}</style></head><body><p>Dear customer,</p>
<p>Thank you for your order n=B0 88213. Your invoice of =80 129,90 is attach=
ed.</p><img src=3D"http://tracker.unknown-shop.example/open.gif">
<ul><li>Garden chair, teak</li><li>Delivery to your door</li></ul>
<p>Kind regards,<br>The Order Desk</p></body></html>
--alt--
--outer
Content-Type: application/pdf; name="invoice-2026-0412.pdf"
Content-Disposition: attachment; filename="invoice-2026-0412.pdf"
Content-Transfer-Encoding: base64

JVBERi0xLjQKJcfsj6IKNSAwIG9iago8PC9MZW5ndGggNiAwIFIvRmlsdGVyIC9GbGF0ZURlY29k
ZT4+CnN0cmVhbQp4nCtUMNAzNFQwAEIjA0MFQxNDA0sFQwMDBUMDhaJUhXA9BQA2LAU5CmVuZHN0
--outer--
EML
for id in 1 2 4 5; do
    printf 'From: sender@example.test\nTo: me@example.test\nSubject: message %s\nContent-Type: text/plain; charset=utf-8\n\nHello, this is message %s.\n' \
        "$id" "$id" >"$store/0000000$id.eml"
done
chown -R "$user:" "$home"

# The window at a known place, the announcements off.
cat >"$home/registry/HKEY_CURRENT_USER.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Tessivar]
"NewMessageAnimateTrayIcon"=dword:00000000
"NewMessageNotificationWindow"=dword:00000000
"NewMessageNotificationSound"=dword:00000000
"StartupAutomatic"=dword:00000000
"StartupRememberPosition"=dword:00000001
"StartupRememberPositionX"=dword:00000014
"StartupRememberPositionY"=dword:00000014
"StartupRememberPositionWidth"=dword:00000384
"StartupRememberPositionHeight"=dword:00000280
REG
chown "$user:" "$home/registry/HKEY_CURRENT_USER.reg"

Xvfb "$display" -screen 0 1000x720x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 50); do xdpyinfo -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done
chmod 1777 /tmp/.X11-unix 2>/dev/null || true
DISPLAY=$display xhost +local: >/dev/null 2>&1 || true
DISPLAY=$display openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
as_user "$program" show >"$home/program.log" 2>&1 &
pids+=($!)

shot() {
    sleep "${2:-2}"
    import -display "$display" -window root "$output/$1.png"
    echo "$output/$1.png"
}
# The main window (the notification window has the same caption but is not mapped).
window() { DISPLAY=$display xdotool search --sync --onlyvisible --name '^Tessivar$' | head -1; }
key() { DISPLAY=$display xdotool key --delay 100 "$@"; }
type_text() { DISPLAY=$display xdotool type --delay 80 "$@"; }

DISPLAY=$display xdotool windowactivate --sync "$(window)" >/dev/null 2>&1 || true
shot main-window 6
# The list has the focus: the next message and its preview, then back to the first (HTML) one.
key Down
shot preview
key Up
shot preview-html
# The find field narrows the list to one sender.
key ctrl+f
type_text dubois
shot find
cat "$home/program.log" >"$output/program.log"
