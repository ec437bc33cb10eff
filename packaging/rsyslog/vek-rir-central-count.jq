# Accounts for every node's log in the central server's file:
#   jq -s -f vek-rir-central-count.jq /var/log/vek-rir/central.json
# One object per log (host, node, generation): the records that arrived (each once), the lines
# that came twice, the records the export reported lost (without those that arrived anyway),
# the first and last sequence numbers that arrived, and the sequence numbers between those two
# that neither arrived nor were reported lost (0 unless something lost records silently).
#
# A loss line names a gap: after_seqno and the count (or the one unfinished seqno). An export
# killed before it saved its cursor reports the gap again after its restart, larger by what the
# ring overwrote meanwhile, and some records at the end of the first report's gap may have
# arrived in between: a record is counted lost only when it is in a gap and did not arrive.
# Loss lines carry no generation: they are matched to a log by the host that sent them.
def gap:
  if .cause == "unfinished" then [.seqno]
  elif .after_seqno == null then [range(0; .lost)]
  else [range(.after_seqno + 1; .after_seqno + 1 + .lost)] end;
def set: map({key: tostring, value: true}) | from_entries;

[.[] | select(.lost != null)] as $reports
| [.[] | select(.seqno != null)]
| group_by([.host, .node, .generation])
| .[]
| (.[0] | {host, node, generation}) as $log
| unique_by([.seqno, .time]) as $once
| ($once | map(.seqno)) as $seqnos
| ($seqnos | set) as $arrived
| ([$reports[] | select(.hostname == $log.host) | gap[]] | unique
   | map(select($arrived[tostring] | not))) as $lost
| ($lost | set) as $reported
| $log + {
    records: ($once | length),
    duplicates: (length - ($once | length)),
    reported_lost: ($lost | length),
    first_seqno: ($seqnos | min),
    last_seqno: ($seqnos | max),
    unexplained: ([range($seqnos | min; ($seqnos | max) + 1)
                   | select(($arrived[tostring] or $reported[tostring]) | not)] | length)
  }
