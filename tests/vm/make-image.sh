#!/bin/sh
# The guest for the real-driver tests, in FOLDER: the kernel of Debian's
# package (unpacked, never installed here) and the modules of the USB
# adapter and the network card, kept for the next run; an initramfs with
# busybox, those modules and SERVER with the libraries it links.
# Usage: make-image.sh FOLDER SERVER
set -eu
mkdir -p "$1"; vm=$(cd "$1" && pwd); server=$(realpath "$2")
if [ ! -f "$vm/vmlinux" ]; then
    rm -rf "$vm" && mkdir -p "$vm/deb" "$vm/mod" && cd "$vm/deb"
    package=$(apt-cache search --names-only '^linux-image-6\.1\.0-[0-9]+-amd64$' | cut -d' ' -f1 | sort -V | tail -1)
    [ -n "$package" ] || { echo "apt knows no linux-image-6.1.0-*-amd64 package" >&2; exit 1; }
    apt-get download -q "$package" 2>&1 | grep -v unsandboxed || true
    dpkg -x ./*.deb "$vm/deb/kernel"
    modules=$(ls -d "$vm"/deb/kernel/lib/modules/*/kernel/drivers)
    # In load order; xz passes an uncompressed one through.
    for m in usb/common/usb-common usb/core/usbcore usb/host/xhci-hcd usb/host/xhci-pci usb/serial/usbserial \
             usb/serial/ftdi_sio net/ethernet/intel/e1000/e1000; do
        xz -dcf "$modules/$m".ko* > "$vm/mod/$(ls "$vm/mod" | wc -l)-${m##*/}.ko"
    done
    # The ELF kernel inside the bzImage starts at its PVH entry, which boots
    # in half the time under TCG.
    image=$(ls "$vm"/deb/kernel/boot/vmlinuz-*)
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | head -1 | cut -d: -f1)
    tail -c +$((offset + 1)) "$image" | xz -dc --single-stream > "$vm/vmlinux.part"
    cd "$vm" && rm -rf "$vm/deb" && mv "$vm/vmlinux.part" "$vm/vmlinux"
fi
root=$vm/root
rm -rf "$root" && mkdir -p "$root/bin" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/srv" && cp -r "$vm/mod" "$root/"
cp /bin/busybox "$root/bin/"
for applet in $(busybox --list | grep -vx busybox); do ln -s busybox "$root/bin/$applet"; done
cp "$server" "$root/bin/"
for lib in $(ldd "$server" | grep -o '/[^ ]*'); do mkdir -p "$root${lib%/*}" && cp -L "$lib" "$root$lib"; done
cat > "$root/init" <<'INIT'
#!/bin/sh
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in /mod/*.ko; do insmod "$m"; done
ip link set lo up; ip link set eth0 up; ip addr add 10.0.2.15/24 dev eth0; ip route add default via 10.0.2.2
# One packet out once the link is up: the user network then knows the guest
# and its first forwarded connection does not wait for a retransmission.
until grep -q 1 /sys/class/net/eth0/carrier; do sleep 0.1; done
arping -c 1 -w 1 -I eth0 10.0.2.2 >/dev/null
# Commands from the console, each line evaluated (an interactive shell as
# PID 1 would end, and the kernel panic, on a background child's signal).
exec setsid sh -c 'stty -echo -onlcr; echo GUEST-READY; while IFS= read -r l; do eval "$l"; done' </dev/ttyS0 >/dev/ttyS0 2>&1
INIT
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$vm/initramfs.cpio.gz"
