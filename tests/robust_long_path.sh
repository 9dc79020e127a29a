#!/bin/sh
# The program started from a folder whose path is longer than its fixed buffers. Run from the
# Unix side: Wine 8's CreateProcessW crashes in GetLongPathNameW on such paths, while the Wine
# loader starts them. Exit codes of the Windows program arrive cut to 8 bits here.
#   robust_long_path.sh <wine-run> <tosmire-ips-sim.exe> install|module-path
set -u
wine_run=$1 program=$2 case=$3
# Wherever the build's prefix for this test is.
public=$("$wine_run" winepath -u 'C:\users\Public') && [ -d "$public" ] || { echo "FAIL: winepath found no Public folder"; exit 1; }
tag="tosmire-deep-$$"
unix_dir="$public/$tag" win_dir="C:\\users\\Public\\$tag"
level=$(printf 'd%.0s' $(seq 1 120))
if [ "$case" = install ]; then levels=9; else levels=4; fi # about 1,100 and 500 characters
for i in $(seq 1 $levels); do unix_dir="$unix_dir/$level"; win_dir="$win_dir\\$level"; done
sim=$(mktemp -d)
trap 'rm -rf "$public/$tag" "$sim"' EXIT
mkdir -p "$unix_dir" && cp "$program" "$unix_dir/" || exit 1
exe="$win_dir\\tosmire-ips-sim.exe"
echo "program path: ${#exe} characters"
# The program writes UTF-16 when redirected.
text() { iconv -f UTF-16LE -t UTF-8 | tr -d '\r'; }
fail=0
if [ "$case" = install ]; then
    name=".t$$p"
    out=$("$wine_run" "$exe" "-d:+$name:i" | text)
    code=$?
    echo "$out"
    echo "$out" | grep -q "!! The path to the executable image is longer than 1022 characters." || { echo "FAIL: no refusal"; fail=1; }
    echo "$out" | grep -q "tosmire.IPS$name service installation failed \[122\]" || { echo "FAIL: no failure line"; fail=1; }
    # Never left installed, whatever happened above.
    if "$wine_run" sc query "tosmire.IPS$name" >/dev/null 2>&1; then
        echo "FAIL: a service was installed"; fail=1
        "$wine_run" "C:\\windows\\system32\\sc.exe" delete "tosmire.IPS$name" >/dev/null 2>&1
    fi
else
    # Ends at the Security log, after the event source's registration.
    out=$(TOSMIRE_SIM_DIR="Z:$(echo "$sim" | tr / '\\')" TOSMIRE_SIM_OPEN_ERROR_Security=1314 "$wine_run" "$exe" | text)
    registered=$("$wine_run" reg query 'HKLM\SYSTEM\CurrentControlSet\services\eventlog\Application\tosmire.IPS' \
                 /v EventMessageFile | tr -d '\r' | sed -n 's/^ *EventMessageFile *REG_SZ *//p')
    echo "registered: ${#registered} characters"
    if [ "$registered" != "$exe" ] && ! echo "$out" | grep -q "longer than"; then
        echo "FAIL: the message file registered is a cut path, with no word of it"; fail=1
    fi
fi
exit $fail
