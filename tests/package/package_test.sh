#!/usr/bin/env bash
# The Debian packages, made from this build tree once: their names, relations and lintian's
# verdict; the files they install, unpacked into a temporary root and checked by the desktop's,
# AppStream's, man's and systemd's own validators; the installed program's --version and
# sendmail's names; the maintainer scripts run on that root as dpkg runs them (the system user
# and drop folder made); and the system service's command line run by hand with the environment
# its unit and drop-in give, as its user holding only the capability the unit grants, taking
# one message on a privileged port and one handed to sendmail by another user.
# Usage: package_test.sh <build dir> <version>
set -euo pipefail
build=$1 version=$2
work=$(mktemp -d /tmp/vellomar-package-XXXXXX)
program_pid=""
cleanup() {
  [ -n "${program_pid}" ] && kill -KILL "${program_pid}" 2>/dev/null
  rm -rf "${work}"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Runs a validator; any complaint on its output fails the test, as does its status.
quiet() {
  local out
  out=$("$@" 2>&1) || fail "$* exited with $?: ${out}"
  [ -z "${out}" ] || fail "$* complained: ${out}"
}

maintain() {  # control folder, package, script, arguments: run as dpkg runs it on the root
  local control=$1 package=$2; shift 2
  DPKG_ROOT=${root} DPKG_MAINTSCRIPT_PACKAGE=${package} DPKG_MAINTSCRIPT_NAME=$1 "${control}/$@" \
    >"${work}/maintainer.log" 2>&1 || fail "${package} $*: $(cat "${work}/maintainer.log")"
  [ ! -s "${work}/maintainer.log" ] || fail "${package} $* said: $(cat "${work}/maintainer.log")"
}

echo "== package"
(cd "${build}" && cpack -G DEB -B "${work}/out" >"${work}/cpack.log" 2>&1) || { cat "${work}/cpack.log"; fail "cpack"; }
deb=${work}/out/vellomar_${version}-1_$(dpkg --print-architecture).deb
mta=${work}/out/vellomar-mta_${version}-1_$(dpkg --print-architecture).deb
[ -f "${deb}" ] && [ -f "${mta}" ] || fail "no ${deb##*/} and ${mta##*/} among: $(ls "${work}/out")"
for field in Provides Conflicts Replaces; do
  [ "$(dpkg-deb -f "${mta}" "${field}")" = mail-transport-agent ] || fail "vellomar-mta's ${field}: $(dpkg-deb -f "${mta}" "${field}")"
done
[[ $(dpkg-deb -f "${mta}" Depends) == "vellomar (= ${version}-1)"* ]] || fail "vellomar-mta's Depends: $(dpkg-deb -f "${mta}" Depends)"
[ -z "$(dpkg-deb -f "${deb}" Provides Conflicts)" ] || fail "vellomar alone is no transport"
depends=$(dpkg-deb -f "${deb}" Depends)
[[ ${depends} == *libc6* && ${depends} == *libqt6widgets6* && ${depends} == *libcurl4* && ${depends} == *libsecret-1-0* ]] || fail "dependencies not computed: ${depends}"
findings=$(lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${deb}" "${mta}" 2>&1) \
  || fail "lintian reports errors: ${findings}"
grep -v "running with root privileges" <<<"${findings}" || true

echo "== installed files"
root=${work}/root
dpkg -x "${deb}" "${root}"
dpkg -x "${mta}" "${root}"
for name in usr/sbin/sendmail usr/lib/sendmail usr/bin/mailq usr/bin/newaliases; do
  [ "$(realpath "${root}/${name}")" = "${root}/usr/sbin/vellomar-sendmail" ] || fail "${name} is not the program"
done
for page in man8/vellomar-sendmail.8.gz man8/sendmail.8.gz man1/mailq.1.gz man1/newaliases.1.gz; do
  [ "$(realpath "${root}/usr/share/man/${page}")" = "${root}/usr/share/man/man8/vellomar-sendmail.8.gz" ] || fail "no page ${page}"
done
# Called by its name, the program is that command: newaliases checks the aliases, status 0.
got=$(VELLOMAR_DIR=${work} "${root}/usr/bin/newaliases" </dev/null) || fail "newaliases: $?"
[[ ${got} == *aliases* ]] || fail "newaliases printed '${got}'"
got=$("${root}/usr/bin/vellomar" --version | head -1)
[ "${got}" = "vellomar ${version}" ] || fail "--version printed '${got}'"
for file in usr/share/vellomar/error usr/share/man/man1/vellomar.1.gz usr/share/doc/vellomar/copyright \
    usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/vellomar.png; do
  [ -f "${root}/${file}" ] || fail "missing ${file}"
done
desktop=${root}/usr/share/applications/example.vellomar.Vellomar.desktop
quiet desktop-file-validate "${desktop}"
grep -qx "Icon=vellomar" "${desktop}" || fail "the menu entry has no icon"
appstreamcli validate --no-net "${root}/usr/share/metainfo/example.vellomar.Vellomar.metainfo.xml" >"${work}/appstream" 2>&1 \
  || { cat "${work}/appstream"; fail "appstreamcli validate"; }
! grep -E "^[EW]:" "${work}/appstream" || fail "appstreamcli: errors or warnings"
# The check lintian makes: groff's warnings while typesetting the page.
for page in man1/vellomar.1.gz man8/vellomar-sendmail.8.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "${root}/usr/share/man/${page}" 2>&1 >/dev/null)
  [ -z "${warnings}" ] || fail "${page} warnings: ${warnings}"
done
man -l "${root}/usr/share/man/man1/vellomar.1.gz" 2>/dev/null | grep -q "EXIT STATUS" || fail "man page lacks its exit statuses"

echo "== systemd units"
system_unit=${root}/usr/lib/systemd/system/vellomar.service
user_unit=${root}/usr/lib/systemd/user/vellomar.service
# The system unit is verified inside the unpacked root, which needs the targets it names.
cp -n /lib/systemd/system/*.target "${root}/usr/lib/systemd/system/"
quiet systemd-analyze verify --man=no --root="${root}" /usr/lib/systemd/system/vellomar.service
# The user manager cannot verify inside a root: the unit is verified with its program path
# pointing into the unpacked root.
mkdir -m 0700 "${work}/runtime"
sed "s#^ExecStart=/usr/bin/#ExecStart=${root}/usr/bin/#" "${user_unit}" >"${work}/vellomar.service"
quiet env XDG_RUNTIME_DIR="${work}/runtime" systemd-analyze --user verify --man=no "${work}/vellomar.service"
grep -qx "Restart=on-failure" "${user_unit}" || fail "the user unit does not restart on failure"
dropin=${root}/usr/lib/systemd/system/vellomar.service.d/drop-folder.conf
for line in User=vellomar Group=vellomar Environment=VELLOMAR_DROP=/var/spool/vellomar; do
  grep -qx "${line}" "${dropin}" || fail "the drop-in lacks ${line}"
done
for line in DynamicUser=yes StateDirectory=vellomar ConfigurationDirectory=vellomar AmbientCapabilities=CAP_NET_BIND_SERVICE \
    LoadCredential=HKEY_LOCAL_MACHINE.ini:/etc/vellomar/HKEY_LOCAL_MACHINE.ini; do
  grep -qx "${line}" "${system_unit}" || fail "the system unit lacks ${line}"
done

echo "== the system user and the drop folder"
# vellomar-mta's postinst on the unpacked root, which holds this machine's accounts: configured,
# then configured again as an upgrade does, it makes one system user and the folder for it.
control_mta=${work}/control-mta
dpkg-deb -e "${mta}" "${control_mta}"
drop=${root}/var/spool/vellomar
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "${root}/etc" && cp -p /etc/passwd /etc/group /etc/shadow /etc/gshadow "${root}/etc/"
  maintain "${control_mta}" vellomar-mta postinst configure ""
  maintain "${control_mta}" vellomar-mta postinst configure "${version}-1"
  [ "$(grep -c '^vellomar:' "${root}/etc/passwd")" = 1 ] || fail "not one vellomar user: $(grep '^vellomar:' "${root}/etc/passwd")"
  IFS=: read -r _ _ service_uid service_gid _ _ shell < <(grep '^vellomar:' "${root}/etc/passwd")
  [ "$(awk -F: '$1 == "vellomar" { print $3 }' "${root}/etc/group")" = "${service_gid}" ] || fail "no group vellomar"
  [ "${service_uid}" -lt 1000 ] && [ "${shell}" = /usr/sbin/nologin ] || fail "vellomar is no system user"
  [ "$(stat -c '%a %u %g' "${drop}")" = "3733 ${service_uid} ${service_gid}" ] || fail "drop folder: $(stat -c '%a %u %g' "${drop}")"
else
  echo "not root: the system user and drop folder are not made"
fi

echo "== the system service's command line"
# What the unit gives: its Environment= with %S, %E and %d standing for the state and
# configuration roots and the credentials' folder, its UnsetEnvironment=, its ExecStart=.
state_root=${work}/var/lib config_root=${work}/etc credentials=${work}/credentials
environment=() unset_names=()
while IFS= read -r line; do
  case "${line}" in
    Environment=*) for word in ${line#Environment=}; do
        word=${word//%S/${state_root}}; word=${word//%d/${credentials}}; word=${word//=\/var\/spool\//=${root}/var/spool/}
        environment+=("${word//%E/${config_root}}"); done ;;
    UnsetEnvironment=*) for word in ${line#UnsetEnvironment=}; do unset_names+=(-u "${word}"); done ;;
    ExecStart=*) exec_start=${line#ExecStart=} ;;
  esac
done < <(cat "${system_unit}" "${dropin}")
[ ${#environment[@]} -gt 0 ] && [ "${exec_start}" = /usr/bin/vellomar ] || fail "unexpected unit: ${exec_start}"
chmod 0755 "${work}"
mkdir -p "${state_root}" "${config_root}/vellomar"
# The settings the administrator wrote; the service only reads them. Mail goes to a next relay
# that is not there, so the message waits in the state folder.
printf '[Software\\Vellomar]\nSMTP=127.0.0.1:9\nLogsize=10\nInput=100\nOutput=100\n' \
  >"${config_root}/vellomar/HKEY_LOCAL_MACHINE.ini"
settings_before=$(cat "${config_root}/vellomar/HKEY_LOCAL_MACHINE.ini")
# As LoadCredential= does: the file stays root's alone, the service reads its own copy.
chmod 0600 "${config_root}/vellomar/HKEY_LOCAL_MACHINE.ini"
install -d -m 0500 "${credentials}"
install -m 0400 "${config_root}/vellomar/HKEY_LOCAL_MACHINE.ini" "${credentials}/HKEY_LOCAL_MACHINE.ini"

listening() {  # the hex ports in LISTEN state
  awk 'NR > 1 && $4 == "0A" { split($2, a, ":"); print a[2] }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
free_port() {
  local taken port
  taken=$(listening)
  for port in "$@"; do
    grep -qi "^$(printf '%04X' "${port}")\$" <<<"${taken}" || { echo "${port}"; return; }
  done
  fail "no free port among $*"
}
if [ "$(id -u)" -eq 0 ]; then
  # The unit's user holds no privilege but the capability to bind a port below 1024.
  port=$(free_port 25 $(seq 600 1000))
  install -d -m 0700 -o "${service_uid}" -g "${service_gid}" "${state_root}/vellomar"
  chown -R "${service_uid}:${service_gid}" "${credentials}"
  run_as=(setpriv --reuid="${service_uid}" --regid="${service_gid}" --clear-groups --inh-caps=+net_bind_service
          --ambient-caps=+net_bind_service --bounding-set=-all,+net_bind_service --no-new-privs)
else
  port=$(free_port $(seq 20000 20200))
  run_as=()
fi
env -i "${unset_names[@]}" PATH=/usr/bin:/bin "${environment[@]}" VELLOMAR_SMTP_PORT="${port}" \
  "${run_as[@]}" "${root}${exec_start}" </dev/null >"${work}/stdout" 2>"${work}/stderr" &
program_pid=$!
state=${state_root}/vellomar
for _ in $(seq 200); do
  grep -q "Server started and listening." "${state}/logfile" 2>/dev/null && break
  kill -0 "${program_pid}" 2>/dev/null || break
  sleep 0.1
done
grep -q "Server started and listening." "${state}/logfile" 2>/dev/null \
  || fail "the service did not start: $(cat "${work}/stderr" "${state}/logfile" 2>/dev/null)"
grep -q "Application folder: ${state}" "${state}/logfile" || fail "the log does not name the state folder"

exec 3<>"/dev/tcp/127.0.0.1/${port}"
expect() {
  local reply
  IFS= read -r -t 10 reply <&3 || fail "no reply, waiting for $1"
  [[ ${reply} == "$1"* ]] || fail "got '${reply}', want '$1'"
}
say() { printf '%s\r\n' "$@" >&3; }
expect "220 vesk Vellomar ${version} ready"
say "HELO package.test"; expect "250 Ok"
say "MAIL FROM:<sender@example.org>"; expect "250 Ok"
say "RCPT TO:<someone@example.org>"; expect "250 Ok"
say "DATA"; expect "354 "
say "Subject: installed" "" "Sent to the installed service." "."; expect "250 Ok"
say "QUIT"; expect "221 "
exec 3>&-
if [ ${#run_as[@]} -gt 0 ]; then
  # Another user hands a message to sendmail as cron does; it cannot list the folder, and the
  # service takes the message in at once, naming who handed it over.
  as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin HOME=/nonexistent)
  printf 'Subject: from cron\n\nHanded over.\n' | "${as_nobody[@]}" VELLOMAR_DROP="${drop}" \
    "${root}/usr/sbin/sendmail" -FCronDaemon -i -B8BITMIME -oem someone@example.org || fail "sendmail exited with $?"
  "${as_nobody[@]}" ls "${drop}" >/dev/null 2>&1 && fail "another user can list the drop folder"
  for _ in $(seq 300); do grep -q "Took in .* from uid 65534" "${state}/logfile" && break; sleep 0.1; done
  grep -q "Took in .* from uid 65534" "${state}/logfile" || fail "not taken in: $(cat "${state}/logfile")"
fi
# The service read its settings from its own copy: it tries the next relay they name.
for _ in $(seq 300); do grep -q "can't connect to 127.0.0.1:9" "${state}/logfile" && break; sleep 0.1; done

kill -TERM "${program_pid}"
for _ in $(seq 300); do kill -0 "${program_pid}" 2>/dev/null || break; sleep 0.1; done
kill -0 "${program_pid}" 2>/dev/null && fail "still running 30 s after SIGTERM"
status=0; wait "${program_pid}" || status=$?
program_pid=""
[ "${status}" -eq 0 ] || fail "ended with status ${status}: $(cat "${work}/stderr")"

# Its files are in the state folder, the template copied from the installed one; the settings
# are as the administrator left them, and nothing was written beside the program.
for file in error logfile vellomar.lock; do [ -f "${state}/${file}" ] || fail "no ${file} in the state folder"; done
cmp -s "${state}/error" "${root}/usr/share/vellomar/error" || fail "the template is not the installed one"
ls "${state}"/*.tml >/dev/null 2>&1 || fail "the message is not waiting in the state folder: $(ls "${state}")"
[ ${#run_as[@]} -eq 0 ] || [ "$(ls "${state}"/*.tml | wc -l)" = 2 ] || fail "not both messages wait: $(ls "${state}")"
[ ! -d "${drop}" ] || [ -z "$(ls -A "${drop}")" ] || fail "left in the drop folder: $(ls -A "${drop}")"
[ "$(stat -c %a "${state}")" = 700 ] || fail "the state folder is not private"
[ ${#run_as[@]} -eq 0 ] || [ "$(stat -c %u "${state}/logfile")" = "${service_uid}" ] || fail "the service did not run as its own user"
[ "$(cat "${config_root}/vellomar/HKEY_LOCAL_MACHINE.ini")" = "${settings_before}" ] || fail "the settings changed"
grep -q "can't connect to 127.0.0.1:9" "${state}/logfile" || fail "the settings were not read: $(cat "${state}/logfile")"
grep -q "can't read the settings" "${state}/logfile" && fail "the settings could not be read: $(cat "${state}/logfile")"
[ "$(ls "${root}/usr/bin" | tr '\n' ' ')" = "mailq newaliases vellomar " ] || fail "files beside the program: $(ls "${root}/usr/bin")"

echo "== maintainer scripts"
# As dpkg runs them, on the unpacked root (DPKG_ROOT): configured, the unit's links are known
# without the unit being enabled; enabled by the administrator, removed, then purged, its links
# are gone. The service itself is restarted or stopped only where systemd runs.
control=${work}/control
dpkg-deb -e "${deb}" "${control}"
for script in postinst prerm postrm; do
  [ "$(stat -c %a "${control}/${script}")" = 755 ] || fail "no executable ${script} in the package"
  sh -n "${control}/${script}" || fail "${script} is no valid shell script"
done
wants=${root}/etc/systemd/system/multi-user.target.wants
maintain "${control}" vellomar postinst configure ""
[ ! -e "${wants}/vellomar.service" ] || fail "a first installation enabled the service"
mkdir -p "${wants}" && ln -s /usr/lib/systemd/system/vellomar.service "${wants}/vellomar.service"
maintain "${control}" vellomar postinst configure "${version}-1"
[ -L "${wants}/vellomar.service" ] || fail "an upgrade disabled the service"
maintain "${control}" vellomar prerm remove
maintain "${control}" vellomar postrm remove
maintain "${control}" vellomar postrm purge
[ ! -L "${wants}/vellomar.service" ] || fail "the purge left the service enabled"
# vellomar-mta's purge removes the drop folder once empty; the user stays.
for script in postinst postrm; do sh -n "${control_mta}/${script}" || fail "vellomar-mta's ${script} is no valid shell script"; done
maintain "${control_mta}" vellomar-mta postrm remove
maintain "${control_mta}" vellomar-mta postrm purge
[ ! -e "${drop}" ] || fail "the purge left the empty drop folder"
echo "== package test passed (port ${port}, ${deb##*/})"
