# The window driven as a person would, for the Windows package tests: its
# fields filled in by mouse and keyboard on the X display of xvfb-run, its
# Button1 pressed, and the wait for its Dump.Txt. Sourced; the caller defines
# fail() and an array pids of the process groups to end on exit.

# Where a control is, from the geometry lines gui_screenshot prints:
# geometry FILE NAME -> centre "X Y".
geometry() {
  awk -v name="$2" '$1 == "geometry" && $2 == name { print $3 + int($5 / 2), $4 + int($6 / 2) }' "$1"
}

# Starts the window, types COM into eCom and COUNT into eCount, presses
# Button1 and waits until DUMP has LINES lines; then ends the window.
# window_download GEOMETRY_FILE DUMP_FILE LINES COM COUNT COMMAND...
window_download() {
  local geometry_file=$1 dump=$2 lines=$3 com=$4 count=$5
  shift 5
  # A session of its own: the window and all Wine started for it end together.
  setsid "$@" >/dev/null 2>&1 &
  pids+=($!)
  # The program's main window: other windows of it carry its name too, but
  # are one pixel wide. Four minutes at most: Wine's first start of Qt from a
  # new folder took over two while the installer test ran beside it.
  local id= candidate WIDTH
  for _ in $(seq 1200); do
    for candidate in $(xdotool search --name '^clockreader$' 2>/dev/null; xdotool search --class '^clockreader$' 2>/dev/null); do
      eval "$(xdotool getwindowgeometry --shell "$candidate")"
      [ "$WIDTH" -gt 100 ] && id=$candidate
    done
    [ -n "$id" ] && break
    sleep 0.2
  done
  [ -n "$id" ] || fail "no window: $*"
  sleep 1
  # No window manager runs on the virtual display: the keyboard goes where
  # it is sent.
  xdotool windowfocus --sync "$id" 2>/dev/null || true
  for field in eCom eCount; do
    local value=$com
    [ $field = eCount ] && value=$count
    xdotool mousemove --window "$id" $(geometry "$geometry_file" $field) click 1
    xdotool key ctrl+a
    xdotool type "$value"
  done
  xdotool mousemove --window "$id" $(geometry "$geometry_file" Button1) click 1
  for _ in $(seq 600); do
    [ -f "$dump" ] && [ "$(wc -l <"$dump")" -eq "$lines" ] && break
    sleep 0.1
  done
  sleep 0.5
  kill -- "-${pids[-1]}" 2>/dev/null || true
  wait "${pids[-1]}" 2>/dev/null || true
  while xdotool getwindowgeometry "$id" >/dev/null 2>&1; do sleep 0.2; done
}
