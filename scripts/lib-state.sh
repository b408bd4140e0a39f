# The state of a Wine prefix, for showing that a program left it as it
# was: a snapshot of its files and registry, and the differences of two.
# The removal by the uninstall entry's command, and a restart. Sourced
# after scripts/lib-checks.sh by scripts/wine-lifecycle.sh and
# scripts/demo.sh, which set `prefix`, `work`, `wine64` and `wineserver`.

# What Wine itself changes in a prefix while programs run, whoever they
# are; everything else must be as it was.
#   files:    the prefix's .update-timestamp and the registry files (they
#             are compared value by value below); Wine's caches under
#             C:\windows and the user's profile
#   registry: the time stamps of the registry files (#time= lines and the
#             time after a key's name); the driver data that wineboot
#             rewrites at every start (Control\Class: "DriverDateData");
#             the hardware and dynamic data keys
noise_files='^. \./(\.update-timestamp|system\.reg|user\.reg|userdef\.reg)$|^. \./drive_c/windows/(Fonts/\.|system32/wbem|temp/)|/AppData/Local/Microsoft/Windows/(INetCache|Explorer)/'
noise_keys='^\[(HARDWARE\\\\|DynData|System\\\\CurrentControlSet\\\\Control\\\\Class\\\\)'

# A snapshot of the prefix: every file and folder (with a checksum of each
# file outside C:\windows, whose system files Wine may rewrite) and the
# registry files, their values key by key.
snapshot() {  # name
  settle
  # The server writes the registry files when it ends; the next command
  # starts it again.
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w
  serve
  (
    cd "$prefix"
    find . -path ./drive_c/windows -prune -o -printf '%y %p\n' | LC_ALL=C sort | grep -Ev "$noise_files" |
      while read -r type path; do
        if [ "$type" = f ]; then printf 'f %s %s\n' "$path" "$(md5sum <"$path" | cut -c1-32)"; else printf '%s %s\n' "$type" "$path"; fi
      done
    find ./drive_c/windows -printf '%y %p\n' | LC_ALL=C sort | grep -Ev "$noise_files"
  ) >"$work/$1.files"
  local f
  for f in system.reg user.reg userdef.reg; do
    # One line per key (an empty key left behind counts) and one per
    # value, prefixed by its key, without time stamps.
    # (The pattern goes through the environment: awk -v would take its
    # backslashes for escapes.)
    noise=$noise_keys awk '
      /^#/ { next }
      /^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); skip = (key ~ ENVIRON["noise"]); if (!skip) print key; next }
      /^$/ { next }
      !skip { print key " " $0 }' "$prefix/$f" | LC_ALL=C sort
  done >"$work/$1.reg"
}

# The differences of two snapshots ("<" before, ">" after), files first.
state_diff() {  # snapshot before, snapshot after
  diff "$work/$1.files" "$work/$2.files" | grep '^[<>]' || true
  diff "$work/$1.reg" "$work/$2.reg" | grep '^[<>]' || true
}
same_state() {  # description, snapshot before, snapshot after
  local d
  d=$(state_diff "$2" "$3")
  if [ -z "$d" ]; then pass "$1"; else fail "$1" "$(head -40 <<<"$d")"; fi
}

# One persistent server for the run (a Wine command then costs 0.1-0.2 s
# instead of ~2 s), its background services started with their streams
# detached so that they never hold a caller's pipe.
serve() {
  "$wineserver" -p 2>/dev/null || true
  "$wine64" rundll32.exe user32.dll,GetDesktopWindow </dev/null >/dev/null 2>&1
}
# Waits until no setup or uninstaller runs any more (the uninstaller's copy
# in the temporary folder outlives the program that started it).
settle() {
  local _
  for _ in $(seq 1 600); do
    pgrep -fi 'unstowa|setup\.exe' >/dev/null || return 0
    sleep 0.1
  done
  echo "a setup or uninstaller still runs: $(pgrep -fia 'unstowa|setup\.exe' | head -3)" >&2
}

# A command of the product's uninstall entry (UninstallString, or
# QuietUninstallString as a deployment tool runs it), the command line
# split as Windows splits it; waits for the uninstaller and its copy.
uninstall_by() {  # value name, product key, registry view ; sets $code
  local command
  command=$(reg_value "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$2" "$1" "$3")
  last_out=$work/uninstall-$2.out
  if [ "$command" = "<missing>" ]; then
    code=-1
    echo "no $1 for $2" >"$last_out"
    return
  fi
  local -a argv
  # The value is a Windows command line of quoted paths and switches; in
  # bash's double quotes a backslash before a letter stays as it is.
  eval "argv=($command)"
  set +e
  timeout 120 "$wine64" "${argv[@]}" </dev/null >"$last_out" 2>&1
  code=$?
  set -e
  # The uninstaller's copy in the temporary folder removes the original
  # after it ended.
  settle
}
quiet_uninstall() { uninstall_by QuietUninstallString "$@"; }

# A restart of the prefix carries out what waits for it (the uninstaller
# removes its own copy then).
restart() {
  settle
  "$wine64" wineboot -r </dev/null >/dev/null 2>&1 || true
}
