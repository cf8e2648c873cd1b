cd "$(mktemp -d)"       # a scratch folder
# A sample bill: the demo's generated billing file, demo-1/FACT0001.TXT (60 records).
xmodemq demo --dir . --records 60 >demo.log
# A simulated modem and server on a pseudo-terminal, its log in a file. The
# server resumes sends, and cuts the line once, after 21 frames.
xmodemq simulate --link modem --resume-sends --cut-after 21 >simulator.log 2>&1 &
until grep -qs 'Simulateur prêt' simulator.log; do sleep 0.2; done   # ready
cat simulator.log
# Trial transfers go to the simulator's own journal, never to yours.
eval "export $(grep '^XMODEMQ_JOURNAL=' simulator.log)"
export XMODEMQ_PASSWORD=essai   # the simulator lets everybody in
xmodemq send demo-1/FACT0001.TXT --user PS0001 --device modem   # cut: status 3
xmodemq send demo-1/FACT0001.TXT --user PS0001 --device modem   # resumes after the cut
mkdir back && xmodemq receive back/FACT0001.TXT --user PS0001 --device modem
cmp demo-1/FACT0001.TXT back/FACT0001.TXT && echo "identical"
xmodemq journal --no-pager
cat simulator.log       # what the server saw
kill %1 && wait         # the simulator stops and removes its folder
