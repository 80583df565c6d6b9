# Throw-away daemons for the block tests (sourced by run_blocks_test.sh): a
# one-node Slurm cluster (munged, slurmctld, slurmd) and OpenSSH servers on
# loopback addresses. Each is configured, keyed and logged in a folder of the
# test, on ports the kernel says are free; no configuration of the system is
# read or written. The one exception: sshd needs its privilege separation
# folder /run/sshd, which start_sshd makes when it is missing (as the
# openssh-server service would) and leaves in place.
#
# stop_daemons ends every daemon started here, by the id in its pid file; the
# test calls it on every way out.

daemon_pidfiles=()
ssh_masters=()   # hosts of $ssh_config whose shared connection stop_daemons closes

# free_ports [N]: N (default 1) different TCP ports that are free on 127.0.0.1.
free_ports() {
  /usr/bin/python3 - "${1:-1}" <<'EOF'
import socket, sys
held = [socket.socket() for _ in range(int(sys.argv[1]))]
for s in held:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))
EOF
}

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# fails when SECONDS have passed.
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

gone() {  # the process has ended (a zombie counts as ended)
  [ ! -e "/proc/$1" ] || [ "$(sed 's/.*) //' "/proc/$1/stat" | cut -d' ' -f1)" = Z ]
}

# The id in a pid file, if that process is still one of ours: its command
# line names the daemons' folder.
our_pid() {
  local pid
  pid=$(cat "$1" 2>/dev/null) && [ -n "$pid" ] && ! gone "$pid" \
    && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF "$(dirname "$1")" && echo "$pid"
}

stop_daemons() {
  local host
  for host in "${ssh_masters[@]}"; do
    ssh -F "$ssh_config" -O exit "$host" >/dev/null 2>&1 || true
  done
  ssh_masters=()
  if [ -n "${SLURM_CONF:-}" ] && [ -n "$(our_pid "$(dirname "$SLURM_CONF")/slurmctld.pid")" ]; then
    scancel --user="$(id -un)" 2>/dev/null || true
    wait_until 10 no_jobs_left || true
  fi
  local i pid
  for ((i = ${#daemon_pidfiles[@]} - 1; i >= 0; i--)); do
    pid=$(our_pid "${daemon_pidfiles[i]}") || continue
    kill "$pid" 2>/dev/null || continue
    wait_until 5 gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
  done
  daemon_pidfiles=()
}

# ---- Slurm ------------------------------------------------------------------

# start_slurm DIR: munged, slurmctld and slurmd of a cluster of one node,
# "localhost" with 2 CPUs, configured in DIR; exports SLURM_CONF for the
# clients (sbatch, squeue, scontrol, scancel) and returns when the node is
# idle.
start_slurm() {
  local d=$1 mem ports
  mkdir -p "$d/state" "$d/spool"
  if command -v mungekey >/dev/null; then
    mungekey --create --keyfile="$d/munge.key"
  else
    dd if=/dev/urandom of="$d/munge.key" bs=1024 count=1 status=none
  fi
  chmod 0400 "$d/munge.key"
  # --force: the socket's folder is private to the test, not world-searchable.
  daemon_pidfiles+=("$d/munged.pid")
  munged --force --socket="$d/munge.socket" --key-file="$d/munge.key" \
    --pid-file="$d/munged.pid" --log-file="$d/munged.log" --seed-file="$d/munged.seed"

  # Half the memory, so that slurmd never finds less than configured.
  mem=$(awk '$1 == "MemTotal:" { printf "%d", $2 / 2048 }' /proc/meminfo)
  read -r -a ports < <(free_ports 2)
  cat >"$d/slurm.conf" <<EOF
ClusterName=tsrecon-test
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort=${ports[0]}
SlurmdPort=${ports[1]}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$d/munge.socket
StateSaveLocation=$d/state
SlurmdSpoolDir=$d/spool
SlurmctldPidFile=$d/slurmctld.pid
SlurmdPidFile=$d/slurmd.pid
SlurmctldLogFile=$d/slurmctld.log
SlurmdLogFile=$d/slurmd.log
PlugStackConfig=$d/plugstack.conf
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MpiDefault=none
MailProg=/bin/true
SchedulerType=sched/builtin
SchedulerParameters=batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
NodeName=localhost NodeAddr=127.0.0.1 CPUs=2 RealMemory=$mem State=UNKNOWN
PartitionName=test Nodes=localhost Default=YES MaxTime=INFINITE State=UP
EOF
  : >"$d/plugstack.conf"
  export SLURM_CONF="$d/slurm.conf"
  daemon_pidfiles+=("$d/slurmctld.pid" "$d/slurmd.pid")
  slurmctld -f "$SLURM_CONF"
  slurmd -f "$SLURM_CONF" -N localhost
  wait_until 20 node_idle || { tail -n 5 "$d"/*.log >&2; return 1; }
}

node_idle() { [ "$(sinfo -h -n localhost -o %T)" = idle ]; }
no_jobs_left() { [ -z "$(squeue -h -o %i)" ]; }

# jobs_ended JOBID...: every job (and array task) named has ended.
jobs_ended() {
  local states
  states=$(squeue -h -t all -j "$(IFS=,; echo "$*")" -o %T) || return 1
  ! grep -qE '^(PENDING|CONFIGURING|RUNNING|COMPLETING|SUSPENDED|RESIZING|REQUEUED)' <<<"$states"
}

# job_states JOBID: "TASK STATE" lines of a job array ("JOBID STATE" for a
# job), in task order.
job_states() {
  squeue -h -t all -j "$1" -o '%i %T' | sort -V
}

# ---- OpenSSH ----------------------------------------------------------------

# start_sshd DIR ADDRESS [PORT]: an OpenSSH server on ADDRESS and PORT (a
# free one by default) that lets root in with the key DIR/../client_key
# only, with DIR as the session's home and working folder (as a host's own
# home would be; not root's home, which other runs share). Configuration,
# host key and log in DIR; the port in DIR/port.
start_sshd() {
  local d=$1 address=$2 port=${3:-$(free_ports)}
  mkdir -p "$d"
  [ -f "$d/host_key" ] || ssh-keygen -q -t ed25519 -N '' -f "$d/host_key"
  cat >"$d/sshd_config" <<EOF
ListenAddress $address:$port
HostKey $d/host_key
PidFile $d/sshd.pid
AuthorizedKeysFile $(dirname "$d")/client_key.pub
PermitRootLogin prohibit-password
AuthenticationMethods publickey
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
X11Forwarding no
PrintMotd no
SetEnv HOME=$d
ForceCommand cd '$d' && eval "\$SSH_ORIGINAL_COMMAND"
EOF
  # (HOME: a login runs none of the startup files of the machine's root
  # account, which can cost a tenth of a second per connection. ForceCommand
  # runs the command asked for, as the login shell would, from DIR.)
  echo "$port" >"$d/port"
  # Privilege separation needs this folder (the service would make it).
  [ -d /run/sshd ] || mkdir -m 0755 -p /run/sshd
  daemon_pidfiles+=("$d/sshd.pid")
  /usr/sbin/sshd -f "$d/sshd_config" -E "$d/sshd.log"
  wait_until 10 test -s "$d/sshd.pid"
}

# ssh_hosts DIR NAME...: a throw-away client key (DIR/client_key) and an
# ssh configuration, DIR/ssh_config, that reaches each host NAME as root at
# the address and port of the server in DIR/NAME. Connections to a host share
# one multiplexed session (GNU parallel opens some twenty per block).
ssh_hosts() {
  local d=$1 name
  shift
  ssh-keygen -q -t ed25519 -N '' -f "$d/client_key"
  ssh_config=$d/ssh_config
  {
    for name in "$@"; do
      printf 'Host %s\n  HostName %s\n  Port %s\n' "$name" \
        "$(awk -F'[ :]' '$1 == "ListenAddress" { print $2 }' "$d/$name/sshd_config")" "$(cat "$d/$name/port")"
    done
    cat <<EOF
Host *
  User root
  IdentityFile $d/client_key
  IdentitiesOnly yes
  BatchMode yes
  StrictHostKeyChecking no
  UserKnownHostsFile /dev/null
  GlobalKnownHostsFile /dev/null
  LogLevel ERROR
  ControlMaster auto
  ControlPath $d/%C
  ControlPersist 60
EOF
  } >"$ssh_config"
  ssh_masters+=("$@")
}

# take_down_sshd DIR: the server of DIR fails as a machine that drops out
# would: the server, its sessions and the commands they run, all at once.
take_down_sshd() {
  local pid
  pid=$(our_pid "$1/sshd.pid") || return 1
  kill -STOP "$pid"
  kill -KILL "$pid" $(descendants "$pid") 2>/dev/null || true
}

descendants() {
  local child
  for child in $(ps -o pid= --ppid "$1"); do
    echo "$child"
    descendants "$child"
  done
}
