# Shell helpers for test scenarios inside a sandbox.  Every wait has a
# deadline: on a loaded machine a condition may take a while, but a test
# never sleeps a fixed time and hopes.

: "${WAIT_SECONDS:=30}"

# args PID: the argument vector of a process, each argument followed by a
# blank.  A program that a user-mode emulator runs through binfmt_misc
# (qemu-user runs 32-bit programs where the kernel cannot) shows the
# emulator's path and the program's in front; they are left out.
args() {
	_args=$(tr '\0' ' ' <"/proc/$1/cmdline") || return
	case $(readlink "/proc/$1/exe") in
	*/qemu-*) _args=${_args#* } && _args=${_args#* } ;;
	esac
	printf '%s\n' "$_args"
}

# wait_for CMD...: run CMD until it succeeds; fail after WAIT_SECONDS.
wait_for() {
	_deadline=$(( $(date +%s) + WAIT_SECONDS ))
	while ! "$@" >/dev/null 2>&1; do
		if [ "$(date +%s)" -ge "$_deadline" ]; then
			echo "wait_for: timed out: $*" >&2
			return 1
		fi
		sleep 0.02
	done
}

# The mount point field of mountinfo escapes blanks as \040.
is_mounted() {
	_mp=$(printf '%s' "$1" | sed 's/ /\\040/g')
	awk -v mp="$_mp" '$5 == mp { found = 1 } END { exit !found }' /proc/self/mountinfo
}
not_mounted() { ! is_mounted "$1"; }
exists() { [ -e "$1" ] || [ -L "$1" ]; }
absent() { ! exists "$1"; }
process_gone() { ! kill -0 "$1" 2>/dev/null; }
has_text() { grep -qF -- "$2" "$1"; }

wait_file() { wait_for exists "$1"; }
wait_gone() { wait_for absent "$1"; }
wait_mounted() { wait_for is_mounted "$1"; }
wait_unmounted() { wait_for not_mounted "$1"; }
wait_exit() { wait_for process_gone "$1"; }
# wait_text FILE TEXT: until FILE holds TEXT.
wait_text() { wait_for has_text "$1" "$2"; }

# mount_testvol DIR [TYPE [DEVICE]]: mount a test volume at DIR that shows as
# file-system type TYPE (default fusefs_ardntfs) mounted from DEVICE; the
# server's process id is left in $TESTVOL_PID.
mount_testvol() {
	mkdir -p "$1"
	testfs -f -o "subtype=${2:-fusefs_ardntfs},fsname=${3:-/dev/disk9s1}" "$1" </dev/null &
	TESTVOL_PID=$!
	wait_mounted "$1"
}

# make_busy DIR: a process whose working folder is DIR keeps it busy; its
# process id is left in $BUSY_PID.
make_busy() {
	(cd "$1" && exec sleep 100000) &
	BUSY_PID=$!
	wait_for busy_in "$BUSY_PID" "$1"
}
busy_in() { [ "$(readlink "/proc/$1/cwd")" = "$2" ]; }

# The stand-ins of hdiutil and installer: what descriptors 0, 1 and 2 of the
# calling shell are open on (a pipe shows as "pipe"), and the signal they
# are told to send while they run.
standard_fds() {
	for _fd in 0 1 2; do
		_target=$(readlink "/proc/$$/fd/$_fd") || _target=closed
		case $_target in pipe:*) _target=pipe ;; esac
		printf ' %s' "$_target"
	done
}
# send_signal_from FILE: when FILE holds "updater SIG", send SIG to the
# update installer that started the caller; when it holds "group SIG", to
# the caller's whole process group, as a Ctrl-C at a terminal does.
send_signal_from() {
	[ -f "$1" ] || return 0
	read -r _target _signal <"$1"
	case $_target in
	updater) kill -s "$_signal" "$(ancestor_named ArdovaUpdater)" ;;
	group) kill -s "$_signal" 0 ;;
	esac
}
# ancestor_named PREFIX: the nearest ancestor of the calling shell whose
# command name begins with PREFIX.
ancestor_named() {
	_pid=$$
	while [ "$_pid" -gt 1 ]; do
		_pid=$(awk '/^PPid:/ { print $2 }' "/proc/$_pid/status")
		case $(cat "/proc/$_pid/comm") in "$1"*) echo "$_pid"; return 0 ;; esac
	done
	return 1
}

# make_image IMAGE TAG: an update image as the hdiutil stand-in takes it, a
# tar archive that it unpacks at the mount point, holding both packages,
# whose content names the tag.  sign IMAGE [SIGNATURE]: its signature, made
# with the test key (the updater built for it is ArdovaUpdater-testkey).
make_image() {
	mkdir -p /data/root/.packages/Flat /data/root/.packages/Bundle
	printf 'flat %s' "$2" >"/data/root/.packages/Flat/Install Ardova NTFS.mpkg"
	printf 'bundle %s' "$2" >"/data/root/.packages/Bundle/Install Ardova NTFS.mpkg"
	tar -cf "$1" -C /data/root .packages
	rm -rf /data/root
}
sign() { openssl dgst -sha1 -sign /sandbox/support/updater-test-key.pem -out "${2:-$1.sig}" "$1"; }
