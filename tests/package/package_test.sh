#!/usr/bin/env bash
# The Debian packages, made from this build tree once: their names, relations and lintian's
# verdict. The program's package and vellomar-mta, unpacked alone into a temporary root as a
# server has them: no Qt or X11 library among what they pull (their dependencies' closure) nor
# in what the installed program loads (ldd); their files checked by man's and systemd's own
# validators; the installed program's --version and sendmail's names; the maintainer scripts
# run on that root as dpkg runs them (the system user and drop folder made); and the system
# service's command line run by hand with the environment its unit and drop-in give, as its
# user holding only the capability the unit grants, taking one message on a privileged port
# and one handed to sendmail by another user. Then, as root, an upgrade from the single package
# of the previous version in a dpkg database of its own: apt's plan, dpkg's work, and the
# settings, spool and service left as they were. Last, the desktop package: its files checked
# by the desktop's and AppStream's validators, and the installed program showing its window
# through the installed plug-in on an Xvfb display, which the test grabs.
# Usage: package_test.sh <build dir> <version>
set -euo pipefail
build=$1 version=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/vellomar-package-XXXXXX)
program_pid="" xvfb_pid=""
cleanup() {
  [ -n "${program_pid}" ] && kill -KILL "${program_pid}" 2>/dev/null
  [ -n "${xvfb_pid}" ] && kill -TERM "${xvfb_pid}" 2>/dev/null
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

# What must never come with the program: Qt, X11 and the rest of a display's stack, as Debian's
# packages and as the libraries' files are named.
display_packages='(qt6-|libqt6|libx11|libxcb|libxkb|libwayland|libgl1|libglx|libegl|libopengl|libgles|libdrm|libicu|fontconfig|libfontconfig|libfreetype|libharfbuzz|x11-common|xkb-data)'
display_libraries='(libQt6|libX11|libxcb|libxkb|libwayland|libGL\.|libGLX|libEGL|libOpenGL|libdrm|libicu|libfontconfig|libfreetype|libharfbuzz)'

echo "== package"
(cd "${build}" && cpack -G DEB -B "${work}/out" >"${work}/cpack.log" 2>&1) || { cat "${work}/cpack.log"; fail "cpack"; }
arch=$(dpkg --print-architecture) multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
revision=2 split=0.2-2
relay=${work}/out/vellomar-relay_${version}-${revision}_${arch}.deb
deb=${work}/out/vellomar_${version}-${revision}_${arch}.deb
mta=${work}/out/vellomar-mta_${version}-${revision}_${arch}.deb
[ -f "${relay}" ] && [ -f "${deb}" ] && [ -f "${mta}" ] || fail "not all three packages among: $(ls "${work}/out")"
for field in Provides Conflicts Replaces; do
  [ "$(dpkg-deb -f "${mta}" "${field}")" = mail-transport-agent ] || fail "vellomar-mta's ${field}: $(dpkg-deb -f "${mta}" "${field}")"
done
[[ $(dpkg-deb -f "${mta}" Depends) == "vellomar-relay (= ${version}-${revision}), passwd"* ]] \
  || fail "vellomar-mta's Depends: $(dpkg-deb -f "${mta}" Depends)"
[[ $(dpkg-deb -f "${deb}" Depends) == "vellomar-relay (= ${version}-${revision})"* ]] \
  || fail "vellomar's Depends: $(dpkg-deb -f "${deb}" Depends)"
[ -z "$(dpkg-deb -f "${relay}" Provides Conflicts)$(dpkg-deb -f "${deb}" Provides Conflicts Breaks Replaces)" ] \
  || fail "only vellomar-mta is a transport, only vellomar-relay takes files over"
# The program's package takes its files over from the single package of before, and cannot be
# installed beside it.
for field in Replaces Breaks; do
  [ "$(dpkg-deb -f "${relay}" "${field}")" = "vellomar (<< ${split})" ] || fail "vellomar-relay's ${field}: $(dpkg-deb -f "${relay}" "${field}")"
done
depends=$(dpkg-deb -f "${relay}" Depends)
[[ ${depends} == *libc6* && ${depends} == *libssl3* && ${depends} == *libcurl4* && ${depends} == *libsecret-1-0* ]] \
  || fail "vellomar-relay's dependencies: ${depends}"
grep -qE "(^|[ ,])${display_packages}" <<<"${depends}" && fail "vellomar-relay depends on a display's library: ${depends}"
[[ $(dpkg-deb -f "${deb}" Depends) == *libqt6widgets6* ]] || fail "the window face's dependencies not computed: $(dpkg-deb -f "${deb}" Depends)"
findings=$(lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs "${relay}" "${deb}" "${mta}" 2>&1) \
  || fail "lintian reports errors or warnings: ${findings}"
grep -v "running with root privileges" <<<"${findings}" || true

echo "== the program's package pulls no display library"
# Everything the two packages of a server bring, all the way down, as this machine's packages
# declare it.
closure=$( { dpkg-deb -f "${relay}" Depends; dpkg-deb -f "${mta}" Depends; } | tr ',|' '\n\n' \
  | sed 's/(.*//; s/:any//; s/ //g' | grep -v '^vellomar' | grep -v '^$' | sort -u)
# shellcheck disable=SC2086
pulled=$(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances ${closure} | grep -v '^ ' | sed 's/^<//; s/>$//' | sort -u)
[ "$(wc -l <<<"${pulled}")" -gt 10 ] || fail "no dependency closure: ${pulled}"
! grep -E "^${display_packages}" <<<"${pulled}" || fail "the program's packages pull in a display's library"

echo "== installed files of a server: vellomar-relay and vellomar-mta"
root=${work}/root
dpkg -x "${relay}" "${root}"
dpkg -x "${mta}" "${root}"
# The program as installed loads nothing of a display, and finds no window face to load.
ldd "${root}/usr/bin/vellomar" >"${work}/ldd" || fail "ldd: $(cat "${work}/ldd")"
! grep -E "${display_libraries}" "${work}/ldd" || fail "the installed program loads a display's library"
[ -z "$(find "${root}" -name vellomar-qt.so)" ] || fail "the program's package holds a window face"
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
for file in usr/share/vellomar/error usr/share/man/man1/vellomar.1.gz usr/share/doc/vellomar-relay/copyright \
    usr/share/doc/vellomar-relay/changelog.Debian.gz; do
  [ -f "${root}/${file}" ] || fail "missing ${file}"
done
[ ! -e "${root}/usr/share/applications" ] && [ ! -e "${root}/usr/share/icons" ] || fail "a server's packages hold desktop files"
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
dpkg-deb -e "${relay}" "${control}"
for script in postinst prerm postrm; do
  [ "$(stat -c %a "${control}/${script}")" = 755 ] || fail "no executable ${script} in the package"
  sh -n "${control}/${script}" || fail "${script} is no valid shell script"
done
wants=${root}/etc/systemd/system/multi-user.target.wants
maintain "${control}" vellomar-relay postinst configure ""
[ ! -e "${wants}/vellomar.service" ] || fail "a first installation enabled the service"
mkdir -p "${wants}" && ln -s /usr/lib/systemd/system/vellomar.service "${wants}/vellomar.service"
maintain "${control}" vellomar-relay postinst configure "${version}-${revision}"
[ -L "${wants}/vellomar.service" ] || fail "an upgrade disabled the service"
maintain "${control}" vellomar-relay prerm remove
maintain "${control}" vellomar-relay postrm remove
maintain "${control}" vellomar-relay postrm purge
[ ! -L "${wants}/vellomar.service" ] || fail "the purge left the service enabled"
# vellomar-mta's purge removes the drop folder once empty; the user stays.
for script in postinst postrm; do sh -n "${control_mta}/${script}" || fail "vellomar-mta's ${script} is no valid shell script"; done
maintain "${control_mta}" vellomar-mta postrm remove
maintain "${control_mta}" vellomar-mta postrm purge
[ ! -e "${drop}" ] || fail "the purge left the empty drop folder"

echo "== upgrade from the single package of 0.2-1"
# The packages of the previous version as it made them (tests/package/previous: their control
# files, maintainer scripts and file lists), rebuilt here around stand-in files: an upgrade is a
# matter of names, relations, files and scripts, not of the old program's bytes.
previous() {  # name: the package at ${work}/previous/<name>.deb
  local name=$1 tree=${work}/previous/$1 kind path target
  mkdir -p "${tree}/DEBIAN"
  sed "s/^Architecture: .*/Architecture: ${arch}/" "${here}/previous/${name}/control" >"${tree}/DEBIAN/control"
  for script in postinst prerm postrm; do
    [ ! -f "${here}/previous/${name}/${script}" ] || install -m 0755 "${here}/previous/${name}/${script}" "${tree}/DEBIAN/"
  done
  while read -r kind path target; do
    mkdir -p "${tree}/$(dirname "${path}")"
    case ${kind} in
      f) echo "${path} of ${name} 0.2-1" >"${tree}/${path}" ;;
      l) ln -s "${target}" "${tree}/${path}" ;;
    esac
  done <"${here}/previous/${name}/files"
  dpkg-deb --root-owner-group -Zgzip -z1 --build "${tree}" "${work}/previous/${name}.deb" >/dev/null
}
# A dpkg database of its own, holding what the packages depend on as this machine has it
# installed (the root needs none of their files for dpkg's relations) and the machine's
# accounts, which vellomar-mta's postinst adds its user to.
stand_ins() {
  local name
  for name in $( { for deb in "$@"; do dpkg-deb -f "${deb}" Depends; done; } | tr ',|' '\n\n' \
      | sed 's/(.*//; s/:any//; s/ //g' | grep -v '^vellomar' | grep -v '^$' | sort -u); do
    dpkg-query -W -f='Package: ${Package}\nStatus: install ok installed\nPriority: optional\nMaintainer: stand-in\nArchitecture: ${Architecture}\nMulti-Arch: ${Multi-Arch}\nVersion: ${Version}\nDescription: stand-in\n\n' \
      "${name}" || fail "${name}, a dependency, is not installed here"
  done
}
upgraded=""
if [ "$(id -u)" -eq 0 ]; then
  mkdir -p "${work}/previous"
  previous vellomar
  previous vellomar-mta
  upgraded=${work}/upgrade
  admin=${upgraded}/var/lib/dpkg
  mkdir -p "${admin}/info" "${admin}/updates" "${admin}/triggers" "${upgraded}/etc"
  stand_ins "${work}/previous/vellomar.deb" "${work}/previous/vellomar-mta.deb" "${relay}" "${deb}" "${mta}" >"${admin}/status"
  : >"${admin}/available"
  cp -p /etc/passwd /etc/group /etc/shadow /etc/gshadow "${upgraded}/etc/"
  in_root() {  # dpkg on that root, its maintainer scripts told where it is (DPKG_ROOT)
    dpkg --root="${upgraded}" --force-script-chrootless --log="${work}/dpkg.log" "$@" >"${work}/dpkg.out" 2>&1 \
      || fail "dpkg $*: $(cat "${work}/dpkg.out")"
  }
  in_root --install "${work}/previous/vellomar.deb" "${work}/previous/vellomar-mta.deb"

  # What the administrator and a desktop user made meanwhile: the service enabled, its settings,
  # its spool (DynamicUser's private folder), a message in the drop folder, a user's own relay
  # with its settings, spool, autostart entry and user service.
  mkdir -p "${upgraded}/etc/systemd/system/multi-user.target.wants" "${upgraded}/etc/vellomar" \
    "${upgraded}/var/lib/private/vellomar" "${upgraded}/home/ann/.config/vellomar" "${upgraded}/home/ann/.config/autostart" \
    "${upgraded}/home/ann/.config/systemd/user/default.target.wants" "${upgraded}/home/ann/.local/state/vellomar"
  ln -s /usr/lib/systemd/system/vellomar.service "${upgraded}/etc/systemd/system/multi-user.target.wants/vellomar.service"
  printf '[Software\\Vellomar]\nSMTP=relay.office.example\n' >"${upgraded}/etc/vellomar/HKEY_LOCAL_MACHINE.ini"
  chmod 0600 "${upgraded}/etc/vellomar/HKEY_LOCAL_MACHINE.ini"
  printf 'HELO a\r\nMAIL FROM:<a@example.org>\r\nRCPT TO:<b@example.org>\r\nDATA\r\n\r\nx\r\n.\r\nQUIT\r\n' \
    | tee "${upgraded}/var/lib/private/vellomar/091240.tml" >"${upgraded}/home/ann/.local/state/vellomar/101502.tml"
  ln -s private/vellomar "${upgraded}/var/lib/vellomar"
  printf 'Subject: from cron\n\nHanded over.\n' >"${upgraded}/var/spool/vellomar/handed-over"
  printf '[Software\\Vellomar]\nSMTP=smtp.example.org:587\n' >"${upgraded}/home/ann/.config/vellomar/HKEY_LOCAL_MACHINE.ini"
  printf '[Desktop Entry]\nType=Application\nName=Vellomar\nExec=/usr/bin/vellomar\n' >"${upgraded}/home/ann/.config/autostart/vellomar.desktop"
  ln -s /usr/lib/systemd/user/vellomar.service "${upgraded}/home/ann/.config/systemd/user/default.target.wants/vellomar.service"
  # What an upgrade must leave as it is, with every file's content. (deb-systemd-helper's own
  # records, under var/lib/systemd, may learn of the enabling: they are how a purge removes it.)
  kept() {
    (cd "${upgraded}" && find etc/vellomar etc/systemd var/lib/private var/lib/vellomar var/spool/vellomar home \
      -printf '%p %y %m %u:%g %l\n' -type f -exec sha256sum {} + | sort)
  }
  before=$(kept)

  # apt's plan, from a repository of the new packages: `apt upgrade` (an upgrade that may
  # install new packages, never remove one) takes vellomar and vellomar-mta to the new version
  # and brings vellomar-relay in.
  apt_dir=${work}/apt
  mkdir -p "${apt_dir}/repo" "${apt_dir}/lists/partial" "${apt_dir}/cache/archives/partial" "${apt_dir}/parts"
  cp "${relay}" "${deb}" "${mta}" "${apt_dir}/repo/"
  (cd "${apt_dir}/repo" && dpkg-scanpackages --multiversion . /dev/null >Packages 2>/dev/null)
  echo "deb [trusted=yes] file:${apt_dir}/repo ./" >"${apt_dir}/sources.list"
  apt_on_root() {
    apt-get -q -o Dir::State::status="${admin}/status" -o Dir::State::Lists="${apt_dir}/lists" \
      -o Dir::Cache="${apt_dir}/cache" -o Dir::Etc::SourceList="${apt_dir}/sources.list" \
      -o Dir::Etc::SourceParts="${apt_dir}/parts" -o Debug::NoLocking=true -o APT::Get::List-Cleanup=false "$@"
  }
  apt_on_root update >"${work}/apt.out" 2>&1 || fail "apt-get update: $(cat "${work}/apt.out")"
  apt_on_root --simulate --with-new-pkgs upgrade >"${work}/apt.out" 2>&1 || fail "apt upgrade: $(cat "${work}/apt.out")"
  plan=$(grep -E '^(Inst|Remv|Conf)' "${work}/apt.out" | awk '{ print $1, $2, $3 }' | sort)
  want=$(printf '%s\n' "Conf vellomar (${version}-${revision}" "Conf vellomar-mta (${version}-${revision}" \
    "Conf vellomar-relay (${version}-${revision}" "Inst vellomar [0.2-1]" "Inst vellomar-mta [0.2-1]" \
    "Inst vellomar-relay (${version}-${revision}" | sort)
  [ "${plan}" = "${want}" ] || fail "apt upgrade would do: $(cat "${work}/apt.out")"

  # dpkg's work, in an order apt may choose: the program's package first, which takes the
  # program's files from the old package and has it deconfigured until it is upgraded too.
  in_root --auto-deconfigure --install "${relay}" "${deb}" "${mta}"
  got=$(dpkg-query --admindir="${admin}" -W -f='${Package} ${Version} ${db:Status-Abbrev}\n' vellomar vellomar-relay vellomar-mta)
  want=$(printf '%s\n' "vellomar ${version}-${revision} ii " "vellomar-mta ${version}-${revision} ii " \
    "vellomar-relay ${version}-${revision} ii ")
  [ "${got}" = "${want}" ] || fail "after the upgrade: ${got}"
  for pair in /usr/bin/vellomar:vellomar-relay /usr/lib/systemd/system/vellomar.service:vellomar-relay \
      /usr/share/vellomar/error:vellomar-relay /usr/lib/${multiarch}/vellomar/vellomar-qt.so:vellomar \
      /usr/share/applications/example.vellomar.Vellomar.desktop:vellomar /usr/sbin/vellomar-sendmail:vellomar-mta; do
    owner=$(dpkg-query --admindir="${admin}" -S "${pair%%:*}" 2>/dev/null | cut -d: -f1)
    [ "${owner}" = "${pair#*:}" ] || fail "${pair%%:*} belongs to '${owner}'"
  done
  cmp -s "${upgraded}/usr/bin/vellomar" "${root}/usr/bin/vellomar" || fail "the upgrade did not install the new program"
  [ "$(kept)" = "${before}" ] || fail "the upgrade changed what it must keep: $(diff <(echo "${before}") <(kept))"
  [ ! -e "${upgraded}/etc/systemd/system/vellomar.service" ] || fail "the upgrade masked the service"
  DPKG_ROOT=${upgraded} DPKG_MAINTSCRIPT_PACKAGE=vellomar-relay DPKG_MAINTSCRIPT_NAME=postinst \
    deb-systemd-helper --quiet was-enabled vellomar.service || fail "the service is no longer enabled"
else
  echo "not root: no upgrade in a dpkg database of its own"
fi

echo "== the desktop package"
# The window face's package, installed over the program's: from the upgrade, or unpacked.
desktop_root=${upgraded:-${work}/desktop-root}
if [ -z "${upgraded}" ]; then dpkg -x "${relay}" "${desktop_root}" && dpkg -x "${deb}" "${desktop_root}"; fi
for file in usr/lib/${multiarch}/vellomar/vellomar-qt.so usr/share/doc/vellomar/copyright usr/share/doc/vellomar/changelog.Debian.gz \
    usr/share/icons/hicolor/{16x16,32x32,48x48,64x64,128x128,256x256}/apps/vellomar.png; do
  [ -f "${desktop_root}/${file}" ] || fail "missing ${file}"
done
desktop=${desktop_root}/usr/share/applications/example.vellomar.Vellomar.desktop
quiet desktop-file-validate "${desktop}"
grep -qx "Icon=vellomar" "${desktop}" || fail "the menu entry has no icon"
grep -qx "Exec=vellomar" "${desktop}" || fail "the menu entry does not start the program"
appstreamcli validate --no-net "${desktop_root}/usr/share/metainfo/example.vellomar.Vellomar.metainfo.xml" >"${work}/appstream" 2>&1 \
  || { cat "${work}/appstream"; fail "appstreamcli validate"; }
! grep -E "^[EW]:" "${work}/appstream" || fail "appstreamcli: errors or warnings"

echo "== the window, through the installed plug-in, on an Xvfb display"
# Xvfb keeps its screen in a file (-fbdir, XWD format), which is the screenshot. The installed
# program, run as the menu entry runs it, with a display named, shows its window: nothing on
# standard output (the console face would echo its notifications there), and a window named
# Vellomar drawn on the black screen.
mkdir -p "${work}/screen"
Xvfb -displayfd 5 -screen 0 1024x768x24 -br -nolisten tcp -fbdir "${work}/screen" 5>"${work}/display" 2>"${work}/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do [ -s "${work}/display" ] && break; sleep 0.1; done
[ -s "${work}/display" ] || fail "Xvfb did not start: $(cat "${work}/xvfb.log")"
display=:$(head -1 "${work}/display")
desktop_dir=${work}/desktop-user
mkdir -p "${desktop_dir}/store" "${desktop_dir}/runtime"
chmod 0700 "${desktop_dir}/runtime"
cp "${desktop_root}/usr/share/vellomar/error" "${desktop_dir}/"
printf '[Software\\Vellomar]\nSMTP=127.0.0.1:9\n' >"${desktop_dir}/store/HKEY_LOCAL_MACHINE.ini"
window_port=$(free_port $(seq 20300 20500))
env -i PATH=/usr/bin:/bin HOME="${desktop_dir}" DISPLAY="${display}" XDG_RUNTIME_DIR="${desktop_dir}/runtime" \
  VELLOMAR_DIR="${desktop_dir}" VELLOMAR_REGISTRY="${desktop_dir}/store" VELLOMAR_SMTP_PORT="${window_port}" \
  "${desktop_root}/usr/bin/vellomar" </dev/null >"${work}/window.out" 2>"${work}/window.err" &
program_pid=$!
for _ in $(seq 200); do
  grep -q "Server started and listening." "${desktop_dir}/logfile" 2>/dev/null \
    && xwininfo -display "${display}" -name Vellomar >"${work}/xwininfo" 2>/dev/null && break
  kill -0 "${program_pid}" 2>/dev/null || break
  sleep 0.1
done
[ -s "${work}/xwininfo" ] || fail "no window: $(cat "${work}/window.err" "${desktop_dir}/logfile" 2>/dev/null)"
[ ! -s "${work}/window.out" ] || fail "the console face ran: $(cat "${work}/window.out" "${work}/window.err")"
python3 - "${work}/screen/Xvfb_screen0" "${work}/xwininfo" "${build}/package-window.png" <<'PYTHON' || fail "the window is not drawn"
# The window's rectangle on the screen must be drawn (no black left in it, several colours: the
# lists, buttons and texts) and the screen around it black; the rectangle is saved as a PNG.
import re, struct, sys, zlib
screen, info, out = sys.argv[1:4]
data = open(screen, "rb").read()
fields = struct.unpack(">25I", data[:100])
header, width, height, bits, line, colours = fields[0], fields[4], fields[5], fields[11], fields[12], fields[19]
assert bits == 32, bits
pixels = header + colours * 12
text = open(info).read()
def number(name):
    return int(re.search(name + r":\s+(-?\d+)", text).group(1))
x, y, w, h = number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"), number("Height")
assert w >= 300 and h >= 300 and x >= 0 and y >= 0 and x + w <= width and y + h <= height, (x, y, w, h)
def row(r):
    start = pixels + r * line
    return [int.from_bytes(data[start + 4 * c:start + 4 * c + 3], "little") for c in range(width)]
inside, black, seen = 0, 0, set()
rows = []
for r in range(y, y + h):
    values = row(r)
    part = values[x:x + w]
    rows.append(part)
    inside += len(part)
    black += part.count(0)
    seen.update(part)
    if any(values[:x]) or any(values[x + w:]):
        sys.exit(f"drawn outside the window in row {r}")
print(f"window {w}x{h} at {x},{y}: {len(seen)} colours, {black} black pixels of {inside}")
if black > inside // 100 or len(seen) < 8:
    sys.exit("the window is not drawn")
raw = b"".join(b"\0" + b"".join(v.to_bytes(3, "little")[::-1] for v in part) for part in rows)
def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
open(out, "wb").write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0))
                      + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))
PYTHON
kill -TERM "${program_pid}"
for _ in $(seq 300); do kill -0 "${program_pid}" 2>/dev/null || break; sleep 0.1; done
status=0; wait "${program_pid}" || status=$?
program_pid=""
[ "${status}" -eq 0 ] || fail "the window's program ended with status ${status}: $(cat "${work}/window.err")"
grep -q "File list now empty." "${desktop_dir}/logfile" || fail "no ordered shutdown: $(cat "${desktop_dir}/logfile")"

echo "== package test passed (port ${port}, ${relay##*/}, ${deb##*/}, ${mta##*/})"
