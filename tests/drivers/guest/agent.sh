#!/bin/sh
# The drivers tier's agent: runs in the guest, chrooted into the host's root, and runs the
# harness's commands one at a time. Each arrives on the agent's port as one line, "ID
# COMMAND"; its standard output and error go to /run/korvane/ID.out, in the harness's
# folder, and the answer is "ID STATUS". The port closing ends the agent.
port=$1
# Everything the programs write goes to the guest's own /run: the host's root is read-only.
export HOME=/run/home TMPDIR=/run/tmp XDG_RUNTIME_DIR=/run/tmp QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME"
chmod 700 "$XDG_RUNTIME_DIR"
exec 3<>"$port"
echo ready >&3
while IFS= read -r line <&3; do
    id=${line%% *}
    sh -c "${line#* }" </dev/null >"/run/korvane/$id.out" 2>&1
    echo "$id $?" >&3
done
