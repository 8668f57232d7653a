# The scenarios compare_programs.sh runs once per build, inside a private
# root.  Each leaves what the programs did in /out: NAME.out, NAME.err and
# NAME.status for every run, the files the programs wrote, and what a
# scenario found after a run.
#
# Inside: /sandbox/bin holds the programs, started through $RUN (empty, or
# an emulator, set by the caller); /sandbox/support the test shell helpers;
# /plists the property lists to set a key in.
# shellcheck shell=sh
. /sandbox/support/lib.sh

# run NAME PROGRAM ARG...: one run of a program, as the user $AS names
# (a setpriv prefix; empty for root).
run() {
	_name=$1 _program=$2
	shift 2
	# shellcheck disable=SC2086
	$AS $RUN "/sandbox/bin/$_program" "$@" >"/out/$_name.out" 2>"/out/$_name.err" </dev/null
	echo $? >"/out/$_name.status"
}

# Everything below /usr/local: type, mode, owner and link text.
usr_local_listing() {
	find /usr/local -printf '%p %y %m %u:%g %l\n' | LC_ALL=C sort >"/out/$1.tree"
}

# Mounts whose flags statfs(2) tells in full: under qemu-user statx gives
# mount id 0, so the flags only the mount table tells (MNT_ROOTFS,
# MNT_JOURNALED, MNT_UNION, MNT_QUOTA) are missing there.
mntflags_scenarios() {
	mkdir -p /ro /noexec /big /layers /union
	mount -t tmpfs -o ro,nosuid tmpfs /ro
	mount -t tmpfs -o noexec,nodev,sync tmpfs /noexec
	# Sizes past 32 bits, and inode numbers past 32 bits (xino).
	mount -t tmpfs -o size=20t,nosuid tmpfs /big
	mount -t tmpfs tmpfs /layers
	mkdir /layers/lower /layers/upper /layers/work
	mount -t overlay -o lowerdir=/layers/lower,upperdir=/layers/upper,workdir=/layers/work,xino=on \
		overlay /union
	for path in /proc /proc/self /dev /dev/shm /dev/pts /tmp /ro /noexec /noexec/ /big /union; do
		run "mntflags$(echo "$path" | tr / _)" mntflags "$path"
	done
	run mntflags-missing mntflags /nonexistent
	run mntflags-no-argument mntflags
	run mntflags-two-arguments mntflags /proc /tmp
	umount /ro /noexec /big /union /layers
}

plist_set_scenarios() {
	mkdir -p /out/plist_set
	cd /out/plist_set
	for file in /plists/*; do
		name=${file##*/}
		cp "$file" "$name"
		run "plist_set-$name" plist_set "$name" CFBundleVersion 1.2.3
	done
	for name in scalars.plist scalars.bplist keys.bplist plist_corpus-unicode.bplist; do
		cp "/plists/$name" "unicode-$name"
		run "plist_set-unicode-$name" plist_set "unicode-$name" "Schlüssel ✓" "Wert 😀 <&>"
	done
	run plist_set-missing plist_set /nonexistent/file.plist key value
	run plist_set-two-arguments plist_set a.plist key
	cd /
}

# The runner's stream, with both process ids checked here, where they are
# known, and then written as N: they differ from run to run.
runner() {
	_name=$1
	shift
	# shellcheck disable=SC2086
	$AS $RUN /sandbox/bin/PrivRunner "$@" >"/out/$_name.raw" 2>"/out/$_name.err" </dev/null &
	_pid=$!
	wait "$_pid"
	echo $? >"/out/$_name.status"
	{
		head -n 1 "/out/$_name.raw" | grep -qx "PID: $_pid" && echo "runner pid ok"
		if [ -f /tmp/utility.pid ]; then
			grep -qax "CHILDPID: $(cat /tmp/utility.pid)" "/out/$_name.raw" && echo "utility pid ok"
			rm /tmp/utility.pid
		fi
	} >"/out/$_name.pids"
	LC_ALL=C sed -E 's/^(CHILD)?PID: [0-9]+$/\1PID: N/' "/out/$_name.raw" >"/out/$_name.out"
	rm "/out/$_name.raw"
}

runner_scenarios() {
	# shellcheck disable=SC2016
	runner runner-stdout /bin/sh -c 'echo $$ >/tmp/utility.pid
		printf "every byte:"; i=0
		while [ $i -lt 256 ]; do printf "\\$(printf %o $i)"; i=$((i + 1)); done
		exit 3'
	# shellcheck disable=SC2016
	runner runner-stderr /bin/sh -c 'echo $$ >/tmp/utility.pid; printf "to stderr\n\0end" >&2'
	# The two streams in a known order: each write waits until the one
	# before it is in the stream.
	cat >/tmp/both <<-'EOF'
		. /sandbox/support/lib.sh
		echo $$ >/tmp/utility.pid
		frames() { [ "$(grep -ac "^$1: 1\$" /out/runner-both.raw)" -eq "$2" ]; }
		printf ab
		wait_for frames STDOUT 2
		printf 'cd\n' >&2
		wait_for frames STDERR 3
		printf e
		exit 255
	EOF
	runner runner-both /bin/sh /tmp/both
	runner runner-arguments /bin/sh -c 'for a; do printf "[%s]" "$a"; done' sh "" "two words" "$(printf '\303\251\n')"
	# shellcheck disable=SC2016
	runner runner-killed /bin/sh -c 'echo $$ >/tmp/utility.pid; kill -9 $$'
	runner runner-no-program /nonexistent/utility arg
	runner runner-no-arguments
	AS="setpriv --ruid=1000 --euid=0 env LD_TEST=1 DYLD_TEST=1 BASH_FUNC_f%%=x IFS=: KEEP=1"
	# Sorted: qemu-user hands a program its environment in reverse order.
	runner runner-environment /usr/bin/python3 -c \
		'import os; [print(k + "=" + v) for k, v in sorted(os.environ.items())]'
	AS=
}

link_repair_scenarios() {
	run link_repair-fresh sbin_link_repair
	usr_local_listing link_repair-fresh
	run link_repair-again sbin_link_repair
	usr_local_listing link_repair-again
	rm /usr/local/sbin/mount_fusefs_ardntfs /usr/local/sbin/newfs_fusefs_ardntfs
	ln -s /elsewhere /usr/local/sbin/mount_fusefs_ardntfs
	echo file >/usr/local/sbin/newfs_fusefs_ardntfs
	run link_repair-wrong sbin_link_repair
	usr_local_listing link_repair-wrong
	rm /usr/local/sbin/newfs_fusefs_ardntfs
	mkdir -p /usr/local/sbin/newfs_fusefs_ardntfs/full
	rm /usr/local/sbin/mount_fusefs_ardntfs
	run link_repair-full-folder sbin_link_repair
	usr_local_listing link_repair-full-folder
	rm -r /usr/local/sbin
	echo file >/usr/local/sbin
	run link_repair-not-a-folder sbin_link_repair
	usr_local_listing link_repair-not-a-folder
	rm /usr/local/sbin
	AS="setpriv --reuid=65534 --regid=65534 --clear-groups"
	run link_repair-not-root sbin_link_repair
	AS=
	usr_local_listing link_repair-not-root
}

front_end_scenarios() {
	support=/Library/Filesystems/fusefs_ardntfs.fs/Contents/Resources
	mkdir -p "$support" /Library/Logs
	# The utility tells what it was given: arguments, identity and the
	# variables a front end started with borrowed rights must not pass on.
	cat >"$support/fusefs_ardntfs.util" <<-'EOF'
		#!/usr/bin/python3
		import os, sys
		for a in sys.argv:
		    print(repr(a))
		print(os.getresuid(), os.getresgid())
		print(sorted(k for k in os.environ if k not in ("PATH", "HOME", "LC_ALL", "PWD", "OLDPWD")))
		sys.exit(7)
	EOF
	chmod 755 "$support/fusefs_ardntfs.util"
	run newfs newfs_fusefs_ardntfs -v "" "two words" /dev/disk9s1
	run repair fusefs_ardntfs.repair "" -n "" /dev/disk9s1 ""
	AS="setpriv --ruid=1000 --rgid=1000 --euid=0 --clear-groups env LD_TEST=1 DYLD_TEST=1 BASH_FUNC_f%%=x IFS=: KEEP=1"
	run newfs-borrowed newfs_fusefs_ardntfs /dev/disk9s1
	run repair-borrowed fusefs_ardntfs.repair /dev/disk9s1
	AS=
	rm "$support/fusefs_ardntfs.util"
	run newfs-no-utility newfs_fusefs_ardntfs "" /dev/disk9s1
	run repair-no-utility fusefs_ardntfs.repair "" /dev/disk9s1
	cp /Library/Logs/newfs_fusefs_ardntfs.log /out/front_ends.log
	rm -r /Library/Logs
	run newfs-no-log newfs_fusefs_ardntfs /dev/disk9s1
}

# What the daemon does with its pid file when it is not started: the start
# itself re-executes the program, which an emulated build cannot do.
daemon_scenarios() {
	pid_file=/var/run/ardova_ntfs_daemon.pid
	run daemon-usage ardova_ntfs_daemon -x
	run daemon-stop-none ardova_ntfs_daemon -u
	printf 'garbage\n' >"$pid_file"
	run daemon-stop-damaged ardova_ntfs_daemon -u
	[ -e "$pid_file" ] && echo "pid file left" >/out/daemon-stop-damaged.after
	sleep 100000 &
	other=$!
	echo "$other" >"$pid_file"
	run daemon-stop-orphaned ardova_ntfs_daemon -s
	kill -0 "$other" && echo "other process alive" >/out/daemon-stop-orphaned.after
	kill "$other"
	printf '4294967295\n' >"$pid_file"
	run daemon-stop-large ardova_ntfs_daemon -u
	ls -A /var/run >/out/daemon.var_run
}

mntflags_scenarios
plist_set_scenarios
daemon_scenarios
runner_scenarios
link_repair_scenarios
front_end_scenarios
