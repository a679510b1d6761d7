# Sourced by install-deps.sh and check.sh: the two ways this machine may run
# 32-bit (i386) programs such as 32-bit Wine. Either the kernel runs them
# itself, or qemu-user does, registered with binfmt_misc; a binfmt_misc entry
# is tried before the kernel's own loader, so registering one switches routes.
binfmt=/proc/sys/fs/binfmt_misc
# qemu 7.2 starts 32-bit Wine only with the guest address space capped.
qemu_wrapper=/usr/local/libexec/qemu-i386-wine

# How i386 programs run now: native, qemu-user or none. A 32-bit Wine server
# shows, while it lives, which program the kernel really started.
i386_route() {
  local prefix pid exe
  prefix=$(mktemp -d)
  TMPDIR=$prefix WINEPREFIX=$prefix /usr/lib/wine/wineserver32 -f -p >/dev/null 2>&1 &
  pid=$!
  sleep 0.5
  exe=$(readlink "/proc/$pid/exe" 2>/dev/null || true)
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  rm -rf "$prefix"
  case $exe in
    */qemu-i386*) echo qemu-user ;;
    */wineserver32) echo native ;;
    *) echo none ;;
  esac
}

# register_qemu NAME: sends every i386 program through qemu-user. False where
# binfmt_misc cannot be had (an unprivileged container).
register_qemu() {
  [ -e "$binfmt/register" ] || mount -t binfmt_misc none "$binfmt" 2>/dev/null || return 1
  if [ ! -x "$qemu_wrapper" ]; then
    mkdir -p "${qemu_wrapper%/*}"
    printf '#!/bin/sh\nexec /usr/bin/qemu-i386-static -R 0x7fff0000 "$@"\n' >"$qemu_wrapper"
    chmod 755 "$qemu_wrapper"
  fi
  # F: the interpreter is opened now, so it serves every process Wine starts.
  local magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  local mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  [ -e "$binfmt/$1" ] || echo ":$1:M::$magic:$mask:$qemu_wrapper:F" >"$binfmt/register"
}

# remove_qemu NAME: takes that entry away again.
remove_qemu() {
  [ ! -e "$binfmt/$1" ] || echo -1 >"$binfmt/$1"
}
