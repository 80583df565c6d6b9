#!/usr/bin/env bash
# Block runs end to end: a generated cube is split with tsrecon-tile, the
# blocks run through the recipes in scripts/ (GNU parallel on this machine,
# over "ssh" to stand-in hosts, as Slurm array tasks), the products are
# merged, and every product must equal, byte for byte, what one run over the
# whole cube writes.
#
#   run_blocks_test.sh BIN_DIR SOURCE_DIR CASE
#
# BIN_DIR holds tsrecon, tsrecon-gen and tsrecon-tile; CASE is one of
# parallel, mask, slurm, ssh, refuse (stand-ins for Slurm and ssh), and
# slurm_cluster, ssh_hosts (a Slurm cluster and OpenSSH servers started for
# the test, see daemons.sh). Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail

bin=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
case_name=$3
tsrecon="$bin/tsrecon"
gen="$bin/tsrecon-gen"
tile="$bin/tsrecon-tile"
# The recipes of scripts/ take their programs from the build under test,
# wherever it lies.
export TSRECON_BUILD_DIR=$bin

skip() { echo "$case_name case skipped: $*"; exit 77; }
fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }

daemons=0
case "$case_name" in
  slurm_cluster|ssh_hosts)
    daemons=1
    [ "$(id -u)" = 0 ] || skip "the daemons it starts need root"
    # Where the system allows, the test runs as the first process of a
    # process (and mount) namespace of its own: however it ends, even killed
    # by a timeout, the kernel then ends every process it started.
    # TSRECON_TEST_PIDNS=0 runs it without.
    if [ $$ != 1 ] && [ "${TSRECON_TEST_PIDNS:-1}" != 0 ] \
       && unshare --pid --fork --kill-child --mount-proc true 2>/dev/null; then
      exec unshare --pid --fork --kill-child --mount-proc bash "$0" "$@"
    fi
    source "$src/tests/blocks/daemons.sh"
    ;;
esac

work=$(mktemp -d "${TMPDIR:-/tmp}/tsrecon-blocks-$case_name.XXXXXX")
# GNU parallel keeps its state (profiles, caches of the hosts, semaphores) in
# $PARALLEL_HOME, ~/.parallel by default, and its temporary files in $TMPDIR:
# both lie in this run's folder, so that runs side by side share nothing.
export PARALLEL_HOME="$work/parallel-home" TMPDIR="$work/tmp"
mkdir -p "$PARALLEL_HOME" "$TMPDIR"
nothing_running() { [ -z "$(pgrep -f -- "$work")" ]; }
on_exit() {
  [ "$daemons" = 0 ] || stop_daemons
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap on_exit EXIT
trap 'exit 1' INT TERM HUP
products_of() {  # the products a run writes, as tsrecon-tile lists them from a manifest
  "$tile" products --blocks "$(dirname "$1")"
}

# One run over the whole cube in $work/whole, inputs (and any older products)
# copied from $work/job, which is where the blocks are split and merged.
run_whole() {
  mkdir -p "$work/whole"
  cp -p "$work"/job/* "$work/whole/"
  (cd "$work/whole" && "$tsrecon" >tsrecon.log 2>&1) || fail "the whole run failed"
  grep -q "Program Deadified" "$work/whole/tsrecon.log" || fail "the whole run did not end normally"
}

# Merges and compares every product (and any file named in $@) with the
# whole run.
merge_and_compare() {
  (cd "$work/job" && "$tile" merge >merge.log 2>&1) || { cat "$work/job/merge.log" >&2; fail "merge failed"; }
  compare_with_whole "$@"
}

compare_with_whole() {
  local f n=0
  for f in $(products_of "$work/job/blocks/manifest.txt") "$@"; do
    [ -f "$work/whole/$f" ] || fail "the whole run wrote no $f"
    cmp "$work/whole/$f" "$work/job/$f" || fail "$f differs from the whole run"
    n=$((n + 1))
  done
  echo "$case_name: $n files byte-identical to the whole run"
}

require_parallel() {
  command -v parallel >/dev/null || fail "GNU parallel is missing (scripts/install-deps installs it)"
}

mkdir -p "$work/job"
case "$case_name" in
  parallel)
    # The default cube, four blocks, all on this machine's cores. An older,
    # longer aic.dat lies in the working directory: a run overwrites it in
    # place and keeps its tail, and so must the merge.
    require_parallel
    "$gen" --dir "$work/job" --nb 46 --nl 23 --ns 17 --intp 1 --seed 11
    head -c 5000 /dev/urandom >"$work/job/aic.dat"
    run_whole
    (cd "$work/job" && "$tile" split 4 >split.log) || fail "split failed"
    grep -q "block-0004: lines 19..23" "$work/job/split.log" || fail "unexpected layout: $(cat "$work/job/split.log")"
    "$src/scripts/tsrecon-blocks-parallel" -j 2 --tsrecon "$tsrecon" "$work/job/blocks" >/dev/null \
      || fail "the parallel run failed"
    merge_and_compare
    [ "$(stat -c %s "$work/job/aic.dat")" = 5000 ] || fail "merge changed the length of the older aic.dat"
    ;;

  mask)
    # MASK = 1 with excluded bands and no i.bsq; the counts of cntl.dat are
    # spread over two records, with a comment in a group. An i.bsq from an
    # earlier job stays untouched by the run and by the merge.
    require_parallel
    "$gen" --dir "$work/job" --nb 46 --nl 12 --ns 9 --mask 1 --intp 0 --exclude 5,17,30 --seed 5
    {
      echo "46"
      echo "12"
      echo " 9   ignored text"
      echo "&DATA NFUNC=5, ! five harmonic pairs"
      echo "      NDEF=3 /"
      sed -n '/^&CONTRL/,$p' "$work/job/cntl.dat"
    } >"$work/job/cntl.new"
    mv "$work/job/cntl.new" "$work/job/cntl.dat"
    printf 'earlier i.bsq' >"$work/job/i.bsq"
    run_whole
    (cd "$work/job" && "$tile" split 5 >/dev/null) || fail "split failed"
    # The block control file differs from the job's in the counts only.
    diff <(sed '2,3d' "$work/job/cntl.dat") <(sed '2d' "$work/job/blocks/block-0005/cntl.dat") >/dev/null \
      || fail "block control file changed more than the counts"
    [ "$(sed -n 2p "$work/job/blocks/block-0005/cntl.dat")" = "2 9" ] || fail "block-0005 should have 2 lines"
    [ "$(stat -c %s "$work/job/blocks/block-0001/mask.bsq")" = $((46 * 3 * 9)) ] || fail "mask block size"
    "$src/scripts/tsrecon-blocks-parallel" --tsrecon "$tsrecon" "$work/job/blocks" >/dev/null \
      || fail "the parallel run failed"
    merge_and_compare i.bsq
    ;;

  slurm)
    # More blocks asked for than lines: one block per line. Each block runs as
    # the array task Slurm would start (SLURM_ARRAY_TASK_ID), every other one
    # through a scratch folder.
    "$gen" --dir "$work/job" --nb 23 --nl 6 --ns 11 --intp 1 --npoint 23 --nfunc 4 --seed 3
    run_whole
    (cd "$work/job" && "$tile" split 10 >split.log) || fail "split failed"
    grep -q "making 6 blocks" "$work/job/split.log" || fail "expected 6 blocks: $(cat "$work/job/split.log")"
    mkdir "$work/scratch"
    for task in 1 2 3 4 5 6; do
      scratch=""
      [ $((task % 2)) = 0 ] && scratch="$work/scratch"
      SLURM_ARRAY_TASK_ID=$task TSRECON_SCRATCH=$scratch \
        bash "$src/scripts/tsrecon-blocks.slurm" "$work/job/blocks" "$tsrecon" >/dev/null \
        || fail "array task $task failed"
    done
    [ -z "$(ls -A "$work/scratch")" ] || fail "scratch folders were left behind"
    # A task that fails in its scratch folder: its exit status is tsrecon's,
    # and its log comes back with the reason. Then the task runs again.
    cp "$work/job/blocks/block-0002/data.bsq" "$work/data.0002"
    printf '\x00\x80' | dd of="$work/job/blocks/block-0002/data.bsq" bs=1 seek=4 conv=notrunc status=none
    status=0
    SLURM_ARRAY_TASK_ID=2 TSRECON_SCRATCH="$work/scratch" \
      bash "$src/scripts/tsrecon-blocks.slurm" "$work/job/blocks" "$tsrecon" >/dev/null || status=$?
    [ "$status" = 1 ] || fail "the failed task 2 exited $status"
    grep -q "holds -32768; values must be 0..32767" "$work/job/blocks/block-0002/tsrecon.log" \
      || fail "the log of the failed task 2 did not come back: $(cat "$work/job/blocks/block-0002/tsrecon.log")"
    [ -z "$(ls -A "$work/scratch")" ] || fail "the failed task left its scratch folder behind"
    cp "$work/data.0002" "$work/job/blocks/block-0002/data.bsq"
    SLURM_ARRAY_TASK_ID=2 TSRECON_SCRATCH="$work/scratch" \
      bash "$src/scripts/tsrecon-blocks.slurm" "$work/job/blocks" "$tsrecon" >/dev/null || fail "task 2 rerun failed"
    status=0
    SLURM_ARRAY_TASK_ID=7 bash "$src/scripts/tsrecon-blocks.slurm" "$work/job/blocks" "$tsrecon" \
      2>"$work/task7.err" || status=$?
    [ "$status" = 2 ] && grep -q "task 7 has no block" "$work/task7.err" || fail "task 7 should find no block"
    merge_and_compare
    ;;

  ssh)
    # Two stand-in hosts reached through a stand-in for ssh: each has its own
    # home folder and starts with an empty environment, as a remote login
    # would. The recipe sends the inputs there, runs, fetches the products and
    # cleans up; then the same with a shared file system.
    require_parallel
    command -v rsync >/dev/null || { echo "ssh case skipped: rsync is not installed"; exit 77; }
    "$gen" --dir "$work/job" --nb 46 --nl 8 --ns 9 --intp 1 --seed 7
    # Big-endian products: set here, the byte order must reach the hosts'
    # empty environments for the blocks to match the whole run.
    export FORT_CONVERT50=BIG_ENDIAN FORT_CONVERT52=BIG_ENDIAN
    run_whole
    (cd "$work/job" && "$tile" split 3 >/dev/null) || fail "split failed"
    cat >"$work/ssh" <<EOF
#!/usr/bin/env bash
while [ \$# -gt 0 ]; do
  case "\$1" in
    -l|-o|-p|-i|-F|-S|-E|-b|-c|-D|-e|-I|-J|-L|-m|-O|-Q|-R|-W|-w) shift 2 ;;
    --) shift; break ;;
    -*) shift ;;
    *) break ;;
  esac
done
host=\$1; shift
[ "\${1:-}" = "--" ] && shift
mkdir -p "$work/hosts/\$host"
cd "$work/hosts/\$host" && exec env -i SHELL=/bin/bash USER="$(id -un)" LOGNAME="$(id -un)" \\
  HOME="$work/hosts/\$host" PATH="\$PATH" bash -c "\$*"
EOF
    chmod +x "$work/ssh"
    printf '1/node-a\n1/node-b\n' >"$work/hosts.txt"
    "$src/scripts/tsrecon-blocks-parallel" --sshloginfile "$work/hosts.txt" --tsrecon "$tsrecon" \
      "$work/job/blocks" -- --ssh "$work/ssh" >/dev/null 2>"$work/parallel.err" \
      || { cat "$work/parallel.err" >&2; fail "the run over ssh failed"; }
    [ -z "$(find "$work/hosts" -type f)" ] || fail "files left on the hosts: $(find "$work/hosts" -type f)"
    [ -f "$work/job/blocks/block-0002/tsrecon.log" ] || fail "the log of block-0002 did not come back"
    merge_and_compare

    rm -f "$work"/job/{p,f,i}.bsq "$work"/job/{order,aic,min,max}.dat
    (cd "$work/job" && "$tile" split 2 --force >/dev/null) || fail "second split failed"
    "$src/scripts/tsrecon-blocks-parallel" --sshloginfile "$work/hosts.txt" --shared --tsrecon "$tsrecon" \
      "$work/job/blocks" -- --ssh "$work/ssh" >/dev/null || fail "the run on a shared file system failed"
    merge_and_compare

    # A block that fails on its host: the run fails and names it, and the
    # block's log comes back with the reason.
    (cd "$work/job" && "$tile" split 2 --force >/dev/null) || fail "third split failed"
    printf '\x00\x80' | dd of="$work/job/blocks/block-0002/data.bsq" bs=1 seek=4 conv=notrunc status=none
    status=0
    "$src/scripts/tsrecon-blocks-parallel" --sshloginfile "$work/hosts.txt" --tsrecon "$tsrecon" \
      "$work/job/blocks" -- --ssh "$work/ssh" >/dev/null 2>"$work/parallel.err" || status=$?
    [ "$status" != 0 ] || fail "the run with a failing block reported success"
    grep -q "not finished: block-0002" "$work/parallel.err" || fail "the run said: $(cat "$work/parallel.err")"
    grep -q "holds -32768; values must be 0..32767" "$work/job/blocks/block-0002/tsrecon.log" 2>/dev/null \
      || fail "the log of the failed block-0002 did not come back"
    [ -z "$(find "$work/hosts" -type f)" ] || fail "files left on the hosts: $(find "$work/hosts" -type f)"
    ;;

  refuse)
    require_parallel
    "$gen" --dir "$work/job" --nb 46 --nl 10 --ns 9 --intp 1 --seed 9
    # An input shorter than cntl.dat says: split refuses and makes nothing.
    cp "$work/job/data.bsq" "$work/data.full"
    truncate -s -1 "$work/job/data.bsq"
    status=0
    (cd "$work/job" && "$tile" split 3) >/dev/null 2>"$work/split.err" || status=$?
    [ "$status" = 1 ] || fail "split of a short data.bsq exited $status"
    grep -q "data.bsq holds $((46 * 10 * 9 * 2 - 1)) bytes" "$work/split.err" || fail "message: $(cat "$work/split.err")"
    [ ! -e "$work/job/blocks" ] || fail "split of a short data.bsq made a blocks folder"

    # A value that tsrecon stops at (32768 at line 9 of band 3, in block 3):
    # that block ends early with the lines before it written. Whatever its
    # exit status, merge must see that the block did not finish.
    cp "$work/data.full" "$work/job/data.bsq"
    printf '\x00\x80' | dd of="$work/job/data.bsq" bs=1 seek=$(( ((2 * 10 + 8) * 9 + 4) * 2 )) conv=notrunc status=none
    (cd "$work/job" && "$tile" split 3 >/dev/null) || fail "split failed"
    "$src/scripts/tsrecon-blocks-parallel" --tsrecon "$tsrecon" "$work/job/blocks" >/dev/null 2>&1 || true
    if grep -q "Program Deadified" "$work/job/blocks/block-0003/tsrecon.log"; then fail "block-0003 should stop early"; fi
    status=0
    (cd "$work/job" && "$tile" merge) >/dev/null 2>"$work/merge.err" || status=$?
    [ "$status" = 1 ] || fail "merge over an unfinished block exited $status"
    grep -q "block-0003 did not finish" "$work/merge.err" || fail "message: $(cat "$work/merge.err")"
    if grep -q -e block-0001 -e block-0002 "$work/merge.err"; then fail "finished blocks named: $(cat "$work/merge.err")"; fi
    for f in p.bsq f.bsq i.bsq order.dat aic.dat min.dat max.dat; do
      [ ! -e "$work/job/$f" ] || fail "merge wrote $f although it refused"
    done

    # A block whose product went missing (a lost transfer) is named too.
    rm "$work/job/blocks/block-0001/min.dat"
    status=0
    (cd "$work/job" && "$tile" merge) >/dev/null 2>"$work/merge.err" || status=$?
    [ "$status" = 1 ] && grep -q "block-0001 did not finish: min.dat is missing" "$work/merge.err" \
      || fail "missing product: status $status, $(cat "$work/merge.err")"

    # A block whose tsrecon exits 0 but never wrote its last console line (a
    # run cut off without a failing status): the run is not reported done.
    cp "$work/data.full" "$work/job/data.bsq"
    (cd "$work/job" && "$tile" split 3 --force >/dev/null) || fail "split failed"
    cat >"$work/tsrecon-cut-off" <<EOF
#!/usr/bin/env bash
"$tsrecon" | { [ "\${PWD##*/}" = block-0002 ] && grep -v "Program Deadified" || cat; }
exit 0
EOF
    chmod +x "$work/tsrecon-cut-off"
    status=0
    "$src/scripts/tsrecon-blocks-parallel" --tsrecon "$work/tsrecon-cut-off" "$work/job/blocks" >/dev/null \
      2>"$work/parallel.err" || status=$?
    [ "$status" = 1 ] || fail "a block without its last console line: exit $status"
    grep -q "not finished: block-0002\$" "$work/parallel.err" || fail "the run said: $(cat "$work/parallel.err")"
    echo "refuse: split and merge refused as expected"
    ;;

  slurm_cluster)
    # A Slurm cluster of one node (this machine, 2 CPUs) started for the test.
    # The blocks go in as the README shows: the array, and the merge as a job
    # that runs when the array has ended. Then a split whose third block has
    # a damaged input: its task fails, the merge job refuses and names the
    # block; with the input mended, that one task runs again and the merge
    # gives the same bytes. No configuration of the system is needed: a stale
    # /etc/slurm/slurm.conf (with another cluster's ports) stands in the way.
    for c in munged slurmctld slurmd sbatch squeue sinfo scancel; do
      command -v "$c" >/dev/null || skip "$c is not installed (scripts/install-deps installs it)"
    done
    if [ $$ = 1 ] && [ -d /etc/slurm ]; then
      mount -t tmpfs tmpfs /etc/slurm   # seen by this test's processes only
      printf 'ClusterName=stale\nSlurmctldHost=localhost\nSlurmctldPort=1\nSlurmdPort=2\n' >/etc/slurm/slurm.conf
    fi
    system_state() {
      ls -lR --time-style=full-iso /etc/slurm /etc/munge /run/munge /var/lib/munge /var/log/munge \
        /var/spool/slurmd /var/spool/slurmctld /var/lib/slurm /var/log/slurm 2>&1 || true
    }
    system_before=$(system_state)
    start_slurm "$work/slurm"
    "$gen" --dir "$work/job" --nb 46 --nl 8 --ns 9 --intp 1 --seed 13
    run_whole
    # submit_blocks [ARRAY]: the array (every block, or the tasks ARRAY) and
    # the merge job that waits for it, from the job's folder; returns when
    # both have ended.
    submit_blocks() {
      local n array
      n=$(awk '$1 == "blocks" { print $2 }' blocks/manifest.txt)
      array=${1:-1-$n}
      jobid=$(sbatch --parsable --array="$array" "$src/scripts/tsrecon-blocks.slurm" "$work/job/blocks" "$tsrecon")
      mergejob=$(sbatch --parsable --dependency=afterany:"$jobid" --wrap "cd $work/job && $tile merge")
      wait_until 30 jobs_ended "$jobid" "$mergejob" || fail "jobs $jobid and $mergejob did not end: $(squeue)"
    }
    states_of() { job_states "$1" | awk '{ printf "%s%s", sep, $2; sep = " " }'; }
    cd "$work/job"

    "$tile" split 4 >/dev/null || fail "split failed"
    submit_blocks
    [ "$(states_of "$jobid")" = "COMPLETED COMPLETED COMPLETED COMPLETED" ] \
      || fail "array tasks: $(job_states "$jobid")"
    [ "$(states_of "$mergejob")" = COMPLETED ] || fail "merge job: $(cat "slurm-$mergejob.out")"
    grep -q "task 4 runs $work/job/blocks/block-0004 on .*, TSRECON_THREADS=1\$" "tsrecon-block-${jobid}_4.out" \
      || fail "output of task 4: $(cat "tsrecon-block-${jobid}_4.out")"
    compare_with_whole

    # The failing task runs in scratch folders (TSRECON_SCRATCH, passed on
    # by sbatch), as would its rerun.
    rm -f {p,f,i}.bsq {order,aic,min,max}.dat
    "$tile" split 4 --force >/dev/null || fail "second split failed"
    cp blocks/block-0003/data.bsq "$work/data.0003"
    printf '\x00\x80' | dd of=blocks/block-0003/data.bsq bs=1 seek=$(( ((2 * 2 + 1) * 9 + 4) * 2 )) conv=notrunc status=none
    mkdir "$work/scratch"
    export TSRECON_SCRATCH="$work/scratch"
    submit_blocks
    [ "$(states_of "$jobid")" = "COMPLETED COMPLETED FAILED COMPLETED" ] \
      || fail "array tasks: $(job_states "$jobid")"
    [ "$(states_of "$mergejob")" = FAILED ] || fail "merge job: $(job_states "$mergejob")"
    grep -q "block-0003 did not finish" "slurm-$mergejob.out" || fail "merge job said: $(cat "slurm-$mergejob.out")"
    if grep -q -e block-0001 -e block-0002 -e block-0004 "slurm-$mergejob.out"; then
      fail "finished blocks named: $(cat "slurm-$mergejob.out")"
    fi
    [ ! -e p.bsq ] || fail "the refused merge wrote p.bsq"
    cp "$work/data.0003" blocks/block-0003/data.bsq
    submit_blocks 3
    [ "$(states_of "$jobid")" = COMPLETED ] && [ "$(states_of "$mergejob")" = COMPLETED ] \
      || fail "rerun: $(job_states "$jobid") / $(job_states "$mergejob")"
    [ -z "$(ls -A "$work/scratch")" ] || fail "scratch folders were left behind"
    compare_with_whole
    cd /

    stop_daemons
    wait_until 5 nothing_running || fail "still running: $(pgrep -a -f -- "$work")"
    [ "$(system_state)" = "$system_before" ] || fail "the system's Slurm or munge folders changed"
    ;;

  ssh_hosts)
    # Two hosts, host-a (127.0.0.1) and host-b (127.0.0.2), each an OpenSSH
    # server started for the test and reached as root with a throw-away key.
    # First a plain run over both: inputs sent, products fetched, the hosts'
    # scratch folders removed. Then host-b drops out while its first block
    # runs: the run fails and names the block, and --resume-failed on
    # host-a completes it. Then the same drop with parallel's --retries,
    # which completes the run by itself. Every time, the same bytes.
    require_parallel
    for c in /usr/sbin/sshd ssh ssh-keygen rsync; do
      command -v "$c" >/dev/null || skip "$c is not installed (scripts/install-deps installs it)"
    done
    /usr/bin/python3 -c 'import socket; socket.socket().bind(("127.0.0.2", 0))' 2>/dev/null \
      || skip "this machine has no loopback address 127.0.0.2"
    start_sshd "$work/ssh/host-a" 127.0.0.1
    start_sshd "$work/ssh/host-b" 127.0.0.2
    ssh_hosts "$work/ssh" host-a host-b
    printf '1/host-a\n1/host-b\n' >"$work/hosts.txt"
    printf '1/host-a\n' >"$work/host-a.txt"
    # A login to a host starts in its folder of this run (its home): the
    # scratch folders of parallel's --workdir lie below, this run's alone.
    ls_scratch() {
      find "$work"/ssh/host-{a,b}/.parallel/tmp -mindepth 1 -maxdepth 1 ! -name sshlogin 2>/dev/null || true
    }

    # tsrecon as the hosts run it: on host-b, the first block to start
    # (host-b-block says which) waits there until the host is taken down.
    cat >"$work/tsrecon-on-hosts" <<EOF
#!/usr/bin/env bash
case "\$SSH_CONNECTION" in
  *" $(cat "$work/ssh/host-b/port")")
    if mkdir "$work/host-b-block" 2>/dev/null; then echo "\${PWD##*/}" >"$work/host-b-block/name"; exec -a "$work/held" sleep 30; fi ;;
esac
echo "\$TSRECON_THREADS" >>"$work/threads"
echo "\$PWD" >>"$work/block-folders"
exec "$tsrecon" "\$@"
EOF
    chmod +x "$work/tsrecon-on-hosts"
    run_on() {  # run_on HOSTS_FILE [OPTIONS...] [-- PARALLEL_OPTIONS...]
      local hosts=$1
      shift
      "$src/scripts/tsrecon-blocks-parallel" --sshloginfile "$hosts" --tsrecon "$work/tsrecon-on-hosts" \
        "$work/job/blocks" "$@"
    }
    # run_dropping_host_b [PARALLEL_OPTIONS...]: a run over both hosts in
    # which host-b goes down; sets status and dropped (the block it held).
    run_dropping_host_b() {
      rm -rf "$work/host-b-block"
      run_on "$work/hosts.txt" -- --ssh "ssh -F $ssh_config" "$@" >"$work/run.out" 2>&1 &
      local run=$!
      wait_until 30 test -s "$work/host-b-block/name" || fail "no block started on host-b: $(cat "$work/run.out")"
      take_down_sshd "$work/ssh/host-b"
      status=0
      wait "$run" || status=$?
      dropped=$(cat "$work/host-b-block/name")
    }

    "$gen" --dir "$work/job" --nb 46 --nl 8 --ns 9 --intp 1 --seed 7
    run_whole
    (cd "$work/job" && "$tile" split 3 >/dev/null) || fail "split failed"
    mkdir "$work/host-b-block"   # host-b runs its blocks at once
    run_on "$work/hosts.txt" -- --ssh "ssh -F $ssh_config" >/dev/null 2>"$work/run.err" \
      || { cat "$work/run.err" >&2; fail "the run over ssh failed"; }
    [ "$(awk 'NR > 1 { print $2 }' "$work/job/blocks/parallel.joblog" | sort -u | tr '\n' ' ')" = "host-a host-b " ] \
      || fail "not both hosts ran blocks: $(cat "$work/job/blocks/parallel.joblog")"
    ! grep -v "^$work/ssh/host-[ab]/.parallel/tmp/" "$work/block-folders" \
      || fail "blocks ran outside the hosts' folders of this run"
    [ -z "$(ls_scratch)" ] || fail "left on the hosts: $(ls_scratch)"
    [ "$(sort -u "$work/threads")" = 1 ] || fail "TSRECON_THREADS on the hosts: $(cat "$work/threads")"
    merge_and_compare

    rm -f "$work"/job/{p,f,i}.bsq "$work"/job/{order,aic,min,max}.dat
    (cd "$work/job" && "$tile" split 3 --force >/dev/null) || fail "second split failed"
    run_dropping_host_b
    [ "$status" != 0 ] || fail "the run without host-b reported success"
    grep -q "not finished:.* $dropped" "$work/run.out" || fail "the run said: $(cat "$work/run.out")"
    status=0
    (cd "$work/job" && "$tile" merge) >/dev/null 2>"$work/merge.err" || status=$?
    [ "$status" = 1 ] && grep -q "$dropped did not finish" "$work/merge.err" \
      || fail "merge with $dropped missing: status $status, $(cat "$work/merge.err")"
    runs=$(wc -l <"$work/threads")
    unfinished=$(sed -n 's/.*not finished: //p' "$work/run.out" | wc -w)
    run_on "$work/host-a.txt" --resume-failed -- --ssh "ssh -F $ssh_config" >/dev/null 2>"$work/run.err" \
      || { cat "$work/run.err" >&2; fail "--resume-failed on host-a failed"; }
    [ "$(wc -l <"$work/threads")" = $((runs + unfinished)) ] \
      || fail "--resume-failed ran other blocks than the $unfinished unfinished ones again"
    merge_and_compare

    start_sshd "$work/ssh/host-b" 127.0.0.2 "$(cat "$work/ssh/host-b/port")"
    rm -f "$work"/job/{p,f,i}.bsq "$work"/job/{order,aic,min,max}.dat
    (cd "$work/job" && "$tile" split 3 --force >/dev/null) || fail "third split failed"
    run_dropping_host_b --retries 2
    [ "$status" = 0 ] || fail "the run with --retries 2 failed: $(cat "$work/run.out")"
    merge_and_compare

    stop_daemons
    wait_until 5 nothing_running || fail "still running: $(pgrep -a -f -- "$work")"
    ;;

  *)
    fail "unknown case"
    ;;
esac
