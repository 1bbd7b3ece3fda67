# Sourced by the Wine scripts: a private display and Wine prefix for one run,
# with COM1 mapped to one end of a pseudo-terminal pair, and the clean-up of
# everything started here (by PID). Needs $work (an empty scratch folder).
started_pids=""

remember() { started_pids="$started_pids $1"; }

wine_cleanup() {
    for pid in $started_pids; do kill "$pid" 2>/dev/null || true; done
    [ ! -d "${WINEPREFIX:-/nonexistent}" ] || timeout 20 wineserver -k 2>/dev/null || true
    for pid in $started_pids; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}

# The ANSI functions use the code page of the Unix locale: Japanese texts
# need ja_JP.UTF-8 to exist.
ensure_japanese_locale() {
    locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' && return 0
    echo "creating the ja_JP.UTF-8 locale"
    if [ "$(id -u)" -eq 0 ]; then localedef -i ja_JP -f UTF-8 ja_JP.UTF-8; else sudo localedef -i ja_JP -f UTF-8 ja_JP.UTF-8; fi
}

start_display() {
    mkfifo "$work/display.fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display.fifo" >"$work/xvfb.log" 2>&1 &
    remember $!
    local number
    read -r -t 30 number <"$work/display.fifo" || { echo "Xvfb did not start"; return 1; }
    export DISPLAY=":$number"
}

# Wine's COM1 is $work/serial-wine, its device end $work/serial-device; COM2
# is serial-wine-2 and serial-device-2.
start_serial_pair() {
    local pair
    for pair in "" -2; do
        socat pty,raw,echo=0,link="$work/serial-wine$pair" pty,raw,echo=0,link="$work/serial-device$pair" \
            >"$work/socat$pair.log" 2>&1 &
        remember $!
        timeout 10 sh -c "until [ -e '$work/serial-wine$pair' ] && [ -e '$work/serial-device$pair' ]; do sleep 0.05; done"
    done
}

# A fresh prefix under the Japanese locale (the message-box font is fixed
# when the prefix is made), no window manager delays, no crash dialog, and
# every COM port mapped: COM1 and COM2 to the pairs, the others to nothing, so that no
# test reaches a real serial port. COM3 and COM13 are for the test port
# driver (install_port_driver): an empty value keeps Wine from giving them to
# the machine's own ports, and the driver takes the names over.
make_prefix() {
    export LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    timeout 120 wineboot --init >"$work/wineboot.log" 2>&1
    timeout 60 wineserver -w
    {
        printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\n"Managed"="N"\n\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug]\n"Debugger"=""\n\n'
        printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"COM1"="%s"\n"COM2"="%s"\n' "$work/serial-wine" "$work/serial-wine-2"
        for n in 4 5 6 7 8 9; do printf '"COM%s"="%s"\n' "$n" "$work/no-port-$n"; done
        printf '"COM3"=""\n"COM13"=""\n'
    } >"$work/setup.reg"
    timeout 60 wine regedit "$work/setup.reg"
    timeout 60 wineserver -w
    # Kept up between programs: each start is faster.
    wineserver -p 2>>"$work/wineserver.log"
    timeout 30 wine cmd /c exit >/dev/null 2>&1
    local link
    for link in com1:serial-wine com2:serial-wine-2; do
        [ "$(readlink "$WINEPREFIX/dosdevices/${link%%:*}")" = "$work/${link#*:}" ] && continue
        echo "${link%%:*} is $(readlink "$WINEPREFIX/dosdevices/${link%%:*}"), not the test's pseudo-terminal: refusing to go on"
        return 1
    done
}

# Loads the suite's test port driver ($1, a .sys) as a demand-start kernel
# service: the client side is COM3, the application side \\.\COM13.
install_port_driver() {
    cp "$1" "$WINEPREFIX/drive_c/windows/system32/drivers/morvanetp.sys"
    timeout 60 wine sc create morvanetp type= kernel start= demand \
        binpath= 'C:\windows\system32\drivers\morvanetp.sys' >"$work/driver-install.log" 2>&1
    timeout 60 wine net start morvanetp >>"$work/driver-install.log" 2>&1
}
