# Sourced by demo.sh and screenshots.sh: the sample package they flash.
# images: name, first data block (or the writer), size.
images=(
    "DIAG.BIN loader 1500"
    "MCU.BIN firmware 6000"
    "CFG.BIN 0 700"
    "K_LOGO.BIN 128 2048"
    "K_SYSTR.BIN 256 900"
    "K_DATA.BIN 384 1300"
    "BOOT.BIN 65535 600"
)

# pack_sample FLASH_TOOL DIR: writes each image with random bytes into DIR and packs them
# into DIR/sample.bin.
pack_sample() {
    local flash=$1 dir=$2 image name size
    local entries=()
    for image in "${images[@]}"; do
        read -r name _ size <<<"$image"
        head -c "$size" /dev/urandom >"$dir/$name"
        entries+=("$name=$dir/$name")
    done
    "$flash" pack "$dir/sample.bin" "${entries[@]}"
}

# start_simulator DEVSIM DIR [OPTION...]: starts the simulated device with its terminal
# linked as DIR/port and its memory dumped into DIR/device on exit; sets sim_pid.
start_simulator() {
    local devsim=$1 dir=$2
    shift 2
    mkdir -p "$dir/device"
    "$devsim" --link "$dir/port" --dump-dir "$dir/device" "$@" >"$dir/devsim.out" &
    sim_pid=$!
    for _ in $(seq 100); do [ -e "$dir/port" ] && break; sleep 0.05; done
}
