#!/bin/busybox sh
# shellcheck shell=dash
# /init of the test initramfs: loads the module, runs the engine program and
# the stress module, unloads, and powers off. Every check prints one
# "KTEST ok|FAIL <name>" line on the console; "KTEST all done" ends the run.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t debugfs debugfs /sys/kernel/debug
# The firmware may leave the console's last line unterminated: end it, so
# that every KTEST line starts a line.
echo
echo "KTEST info kernel $(uname -r)"
# Which pages this kernel runs with (the harness checks the base size).
echo "KTEST info page_size=$(sed -n 's/^KernelPageSize: *\([0-9]*\) kB$/\1/p' /proc/self/smaps | head -n 1)k" \
    "hugepages=$(cd /sys/kernel/mm/hugepages && echo *)"

check() { # name, then the command that must succeed
    name=$1
    shift
    if "$@" >/tmp/out 2>&1; then
        echo "KTEST ok $name"
    else
        echo "KTEST FAIL $name: $(head -c 300 /tmp/out)"
    fi
}

KOVA=/sys/kernel/debug/kova
FILES="dump_flows_cpu dump_flows_qe dump_oq dump_scheduler create_flows delete_flows create_flows_old setlag"
FILES="$FILES flow_list"

# A debug kernel's leak detector: only what happens from here on counts.
KMEMLEAK=/sys/kernel/debug/kmemleak
[ -e $KMEMLEAK ] && echo clear >$KMEMLEAK

# Pointers hashed for everyone, root included (the check hidden_addresses).
echo 0 >/proc/sys/kernel/kptr_restrict
check insmod insmod /orvex_kovaAPI.ko
# Raw: busybox dmesg takes a "<1>" at the start of a line for a level.
check version_line sh -c 'dmesg -r | grep -q "<1>kovaAPI version 4.6.360"'
check boardless_line sh -c 'dmesg | grep -q "kovaAPI: board-less build"'
check dev_node test -c /dev/kova
check debugfs_files sh -c "for f in $FILES; do test -f $KOVA/\$f || { echo missing \$f; exit 1; }; done;
    test \$(ls $KOVA | wc -l) -eq 9"
check debugfs_modes sh -c "for f in $FILES; do
    m=\$(stat -c %a $KOVA/\$f); test \$m = 444 || { echo \$f \$m; exit 1; }; done"

/kova-ktest-engine

check cat_dump_cpu sh -c "cat $KOVA/dump_flows_cpu | grep -q 'All LUTs:         1'"
check cat_dump_qe sh -c "cat $KOVA/dump_flows_qe | grep -q 'QE All LUTs:         1'"
check cat_setlag sh -c "cat $KOVA/setlag | grep -q '^Setlag example'"
# Kernel addresses in dumps and log lines as the kernel prints pointers: a
# 32-bit hash (0 until the hash key is ready) while kptr_restrict is 0, zeros
# at 2; never the address. A kernel that prints its own pointers unhashed
# (no_hash_pointers, which slub_debug implies) says so in its log.
check hidden_addresses sh -c "{ dmesg | grep -q 'unhashed kernel memory addresses' ||
    { grep -qE 'Entry at 0x {8}' $KOVA/dump_flows_cpu &&
    ! grep -E 'Entry at 0x {0,7}[0-9a-f]{9}' $KOVA/dump_flows_cpu $KOVA/dump_flows_qe &&
    dmesg | grep -qE 'kova.hashtable_base_cpu [0-9a-f]{1,8}$'; }; } &&
    echo 2 >/proc/sys/kernel/kptr_restrict && grep -qE 'Entry at 0x {15}0 ' $KOVA/dump_flows_cpu &&
    echo 0 >/proc/sys/kernel/kptr_restrict"

# The operator's tool, static as on the board, against the real files.
KEY="ucc=5 dmac=02:00:00:4f:03:e8 vlan=100 src=10.0.0.1 dst=10.0.0.2 sport=5000 dport=6000"
check kovactl_add sh -c "/kovactl add id=77 $KEY forward-qe port=2 class=1 &&
    /kovactl add parent=77 id=78 $KEY drop && ! /kovactl add id=77 $KEY drop"
check kovactl_list sh -c "/kovactl -j list >/tmp/list && grep -q '\"appflowid\":77,\"parent\":null' /tmp/list &&
    grep -q '\"appflowid\":78,\"parent\":77,.*\"actions\":\[{\"rule\":\"drop\"}\]' /tmp/list &&
    ! grep -E '\"(cpu|qe)\":\"(missing|differs|absent)\"' /tmp/list"
check kovactl_del sh -c "! /kovactl del 77 && /kovactl del --with-extended 77 &&
    ! /kovactl -j list | grep -q '\"appflowid\":7[78]'"

# Kernel threads calling the exported interface on every CPU (a short run
# here); on a debug kernel (kova.fuzz=SECONDS) a re-attaching engine beside
# them.
fuzz=$(sed -n 's/.*kova\.fuzz=\([0-9]*\).*/\1/p' /proc/cmdline)
if [ -n "$fuzz" ]; then
    # insmod returns when the threads are done.
    check insmod_stress insmod /kova_stress.ko &
    threads=$!
    /kova-ktest-fuzz --engine 30
    wait $threads
else
    check insmod_stress insmod /kova_stress.ko ops=300
fi
dmesg | grep -oE 'KTEST .*stress_(thread|all).*'
# The engine's copy holds the entries the module's own copy holds, in the
# same chains (the lines without their addresses).
check copies_agree sh -c "
    sed -nE 's/(Entry|Exten) at 0x[0-9a-f ]*/\1 /p' $KOVA/dump_flows_cpu >/tmp/cpu &&
    sed -nE 's/(Entry|Exten) at 0x[0-9a-f ]*/\1 /p' $KOVA/dump_flows_qe >/tmp/qe &&
    test \$(wc -l </tmp/cpu) -gt 20 && cmp /tmp/cpu /tmp/qe"
check rmmod_stress rmmod kova_stress
# Random calls on every file from several processes (kova.fuzz_seed=N
# repeats a run).
if [ -n "$fuzz" ]; then
    set --
    seed=$(sed -n 's/.*kova\.fuzz_seed=\([0-9]*\).*/\1/p' /proc/cmdline)
    [ -n "$seed" ] && set -- "$seed"
    /kova-ktest-fuzz "$fuzz" "$@"
fi
check rmmod rmmod orvex_kovaAPI
check debugfs_gone sh -c "! test -e $KOVA"
check dev_gone sh -c '! test -e /dev/kova'
check cleanup_line sh -c 'dmesg -r | grep -q "<1>kovaAPI cleanup"'
check nothing_left sh -c 'dmesg | grep -q "kovaAPI: nothing left"'
# Unload is refused while a file or the device is open, and done after.
for round in 1 2 3; do
    check "hold_open_$round" sh -c "insmod /orvex_kovaAPI.ko &&
        exec 3<$KOVA/dump_flows_qe 4</dev/kova 5>$KOVA/create_flows &&
        ! rmmod orvex_kovaAPI 2>/dev/null && test -e /dev/kova &&
        exec 3<&- 4<&- 5>&- && rmmod orvex_kovaAPI && ! test -e /dev/kova"
done

# Where the kernel injects faults: every allocation of the load fails in
# turn until a load succeeds.
[ -e /proc/self/fail-nth ] && /kova-ktest-failload /orvex_kovaAPI.ko

if [ -e $KMEMLEAK ]; then
    # kmemleak reports objects at least 5 s old.
    sleep 6
    echo scan >$KMEMLEAK
    check kmemleak sh -c "! grep -A 12 unreferenced $KMEMLEAK"
fi
dmesg | grep -E 'kovaAPI: (nothing left|left behind)'
# The checkers report at levels the quiet console does not show: their
# lines from the whole log, for the harness to count.
# (Lockdep's reports start "WARNING:" or "BUG:"; the stacks of the load's
# injected allocation failures are the kernel's usual notice, not a report.)
dmesg | grep -E 'BUG:|WARNING:|UBSAN:|unreferenced object|Oops' | head -n 50
echo "KTEST all done"
# With QEMU's -no-reboot this ends the run also where there is no ACPI to
# power off with.
reboot -f
