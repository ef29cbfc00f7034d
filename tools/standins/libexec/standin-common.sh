# Shared by the systemd-run and systemctl stand-ins: where unit state lives
# and how unit names are written.
#
# Each unit has a folder $STANDIN_STATE_DIR/units/<name>.service holding
#   argv      the command, one argument per line
#   props     the properties it was given, one per line (recorded only)
#   collect   present when the unit goes away once it has ended
#   pid       the command's process id (also its process group)
#   state     active | deactivating | inactive | failed
#   result    exit status of the command's last run
#   stopping  present while "systemctl stop" ends it
# Unit files that "systemctl start" and "enable" know lie in
# $STANDIN_STATE_DIR/unit-files/<name>.service (ExecStart=, User=,
# StandardOutput=, StandardError=).

STANDIN_STATE_DIR=${STANDIN_STATE_DIR:-/run/drovix-standins}
UNITS_DIR="$STANDIN_STATE_DIR/units"
UNIT_FILES_DIR="$STANDIN_STATE_DIR/unit-files"
mkdir -p "$UNITS_DIR" "$UNIT_FILES_DIR" "$STANDIN_STATE_DIR/enabled"

# "drovix-vm-8001" -> "drovix-vm-8001.service"; names with a type keep it.
unit_name() {
  case "$1" in
    *.service|*.scope|*.socket|*.timer|*.target|*.path|*.mount) printf '%s\n' "$1" ;;
    *) printf '%s.service\n' "$1" ;;
  esac
}

# Runs the rest of the line with the state lock held.
with_lock() {
  (
    flock 9
    "$@"
  ) 9>"$STANDIN_STATE_DIR/lock"
}

unit_state() {
  local dir="$UNITS_DIR/$1"
  if [ -f "$dir/state" ]; then cat "$dir/state"; else echo inactive; fi
}

unit_pid_alive() {
  local pid
  pid=$(cat "$UNITS_DIR/$1/pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null
}
