#!/usr/bin/env bash
# The Debian package, made from this build tree once: its name and lintian's verdict; the files
# it installs, unpacked into a temporary root and checked by the desktop's, AppStream's, man's
# and systemd's own validators; the installed program's --version; and the system service's
# command line run by hand with the environment its unit gives, as an unprivileged user holding
# only the capability the unit grants, taking one message on a privileged port.
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

echo "== package"
(cd "${build}" && cpack -G DEB -B "${work}/out" >"${work}/cpack.log" 2>&1) || { cat "${work}/cpack.log"; fail "cpack"; }
deb=${work}/out/vellomar_${version}-1_$(dpkg --print-architecture).deb
[ -f "${deb}" ] || fail "no ${deb##*/} among: $(ls "${work}/out")"
depends=$(dpkg-deb -f "${deb}" Depends)
[[ ${depends} == *libc6* && ${depends} == *libqt6widgets6* && ${depends} == *libcurl4* && ${depends} == *libsecret-1-0* ]] || fail "dependencies not computed: ${depends}"
findings=$(lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs "${deb}" 2>&1) \
  || fail "lintian reports errors: ${findings}"
grep -v "running with root privileges" <<<"${findings}" || true

echo "== installed files"
root=${work}/root
dpkg -x "${deb}" "${root}"
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
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "${root}/usr/share/man/man1/vellomar.1.gz" 2>&1 >/dev/null)
[ -z "${warnings}" ] || fail "man page warnings: ${warnings}"
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
for line in DynamicUser=yes StateDirectory=vellomar ConfigurationDirectory=vellomar AmbientCapabilities=CAP_NET_BIND_SERVICE \
    LoadCredential=HKEY_LOCAL_MACHINE.ini:/etc/vellomar/HKEY_LOCAL_MACHINE.ini; do
  grep -qx "${line}" "${system_unit}" || fail "the system unit lacks ${line}"
done

echo "== the system service's command line"
# What the unit gives: its Environment= with %S, %E and %d standing for the state and
# configuration roots and the credentials' folder, its UnsetEnvironment=, its ExecStart=.
state_root=${work}/var/lib config_root=${work}/etc credentials=${work}/credentials
environment=() unset_names=()
while IFS= read -r line; do
  case "${line}" in
    Environment=*) for word in ${line#Environment=}; do
        word=${word//%S/${state_root}}; word=${word//%d/${credentials}}
        environment+=("${word//%E/${config_root}}"); done ;;
    UnsetEnvironment=*) for word in ${line#UnsetEnvironment=}; do unset_names+=(-u "${word}"); done ;;
    ExecStart=*) exec_start=${line#ExecStart=} ;;
  esac
done <"${system_unit}"
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
  install -d -m 0700 -o nobody -g nogroup "${state_root}/vellomar"
  chown -R nobody:nogroup "${credentials}"
  run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=+net_bind_service
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
[ "$(stat -c %a "${state}")" = 700 ] || fail "the state folder is not private"
[ ${#run_as[@]} -eq 0 ] || [ "$(stat -c %U "${state}/logfile")" = nobody ] || fail "the service did not run as its own user"
[ "$(cat "${config_root}/vellomar/HKEY_LOCAL_MACHINE.ini")" = "${settings_before}" ] || fail "the settings changed"
grep -q "can't connect to 127.0.0.1:9" "${state}/logfile" || fail "the settings were not read: $(cat "${state}/logfile")"
grep -q "can't read the settings" "${state}/logfile" && fail "the settings could not be read: $(cat "${state}/logfile")"
[ "$(ls "${root}/usr/bin")" = vellomar ] || fail "files beside the program: $(ls "${root}/usr/bin")"

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
maintain() {  # script, arguments: run as dpkg runs it
  DPKG_ROOT=${root} DPKG_MAINTSCRIPT_PACKAGE=vellomar DPKG_MAINTSCRIPT_NAME=$1 "${control}/$@" \
    >"${work}/maintainer.log" 2>&1 || fail "$*: $(cat "${work}/maintainer.log")"
  [ ! -s "${work}/maintainer.log" ] || fail "$* said: $(cat "${work}/maintainer.log")"
}
maintain postinst configure ""
[ ! -e "${wants}/vellomar.service" ] || fail "a first installation enabled the service"
mkdir -p "${wants}" && ln -s /usr/lib/systemd/system/vellomar.service "${wants}/vellomar.service"
maintain postinst configure "${version}-1"
[ -L "${wants}/vellomar.service" ] || fail "an upgrade disabled the service"
maintain prerm remove
maintain postrm remove
maintain postrm purge
[ ! -L "${wants}/vellomar.service" ] || fail "the purge left the service enabled"
echo "== package test passed (port ${port}, ${deb##*/})"
