#!/usr/bin/env bash
# The main job in a sandbox: builds the POSIX qelrestore, makes a backup folder, an installation
# folder with older files, the user's path.conf, a registry naming the SQL client's folder and a
# stand-in client there, runs a complete restore, and shows the run log, the client's output, the
# installation folder and the exit status. The stand-in answers as a client whose restore worked,
# so the log ends with "SQL restore verified: ..." and "SQL Restore Complete", and the status is 0.
# Usage: ./run-demo.sh [SANDBOX]   (default: ./demo, made anew)
set -euo pipefail
cd "$(dirname "$0")"
# shellcheck source=scripts/ensure-packages.sh
source scripts/ensure-packages.sh
ensure_packages "${POSIX_PACKAGES[@]}"

cmake --preset posix >/dev/null
cmake --build --preset posix --target qelrestore standin_client >/dev/null

sandbox=$(realpath -m "${1:-demo}")
rm -rf "$sandbox"
mkdir -p "$sandbox"/{home/.corvilane,program,backup/PLUV,backup/lib,install/PLUV,tools/Binn}
cp build/posix/qelrestore "$sandbox/program/"
cp build/posix/tests/standin_client "$sandbox/tools/Binn/OSQL.exe"

# The backup: program files, the settings of the restored installation, the database backup.
echo "restored program" >"$sandbox/backup/app.jar"
echo "restored library" >"$sandbox/backup/lib/core.jar"
echo "hidden settings" >"$sandbox/backup/.app.rc"
printf 'DB_PROVIDER=SQLOLEDB\r\ndbconn.appl.url=jdbc:x://dbhost:1433;databaseName=QEL_PLUV\r\n' \
  >"$sandbox/backup/PLUV/db.properties"
echo "database backup" >"$sandbox/backup/QEL_PLUV.bak"
# The installation before the restore: an old program file and one the backup does not have.
echo "old program" >"$sandbox/install/app.jar"
echo "kept local file" >"$sandbox/install/local.txt"

printf 'finalPath=%s/\r\n' "$sandbox/install" >"$sandbox/home/.corvilane/path.conf"
cat >"$sandbox/program/registry.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Microsoft SQL Server\80\Tools\ClientSetup]
"SQLPath"="$sandbox/tools"
REG

echo "== qelrestore \"$sandbox/backup\" \"$sandbox/run.log\" \"N\""
status=0
# The stand-in's default answer, and the default wait, whatever the caller's environment says.
env -u QEL_STANDIN_OUTPUT -u QEL_STANDIN_STATUS -u QEL_STANDIN_SECONDS \
  -u QEL_STANDIN_PROGRESS_SECONDS -u QELRESTORE_CLIENT_WAIT \
  HOME="$sandbox/home" "$sandbox/program/qelrestore" "$sandbox/backup" "$sandbox/run.log" "N" ||
  status=$?
echo "== run log ($sandbox/run.log)"
cat "$sandbox/run.log" 2>/dev/null || echo "(no run log)"
echo "== client output ($sandbox/run.logsql)"
cat "$sandbox/run.logsql" 2>/dev/null || echo "(no output file)"
echo "== installation folder after the restore"
(cd "$sandbox/install" && find . -type f | sort | while read -r f; do echo "$f: $(cat "$f")"; done)
echo "== exit status: $status (the table is in README.md)"
exit "$status"
