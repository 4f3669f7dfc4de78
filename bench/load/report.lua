-- wrk script of ./dev load: sends the targets given after "--" in turn on each connection
-- (one target when none is given: the URL's own), and prints one line that load.py reads.

local targets = {}
local next_target = 0

function init(args)
   for _, target in ipairs(args) do
      targets[#targets + 1] = target
   end
   if #targets == 0 then
      targets[1] = wrk.path
   end
end

function request()
   next_target = next_target % #targets + 1
   return wrk.format("GET", targets[next_target])
end

function done(summary, latency, requests)
   local e = summary.errors
   io.write(string.format(
      "LOAD requests=%d duration_us=%d p50_us=%d p99_us=%d connect=%d read=%d write=%d status=%d timeout=%d\n",
      summary.requests, summary.duration, latency:percentile(50), latency:percentile(99),
      e.connect, e.read, e.write, e.status, e.timeout))
end
