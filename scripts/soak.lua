-- The soak's requests for wrk: `wrk -t1 ... -s scripts/soak.lua URL -- QUOTA MIX_FILE`.
-- The thread sends the mix of MIX_FILE (written by scripts/soak.py) round after round and stops
-- when QUOTA responses came back or the duration ends; done() prints what was sent and received
-- as one "SOAK {json}" line.

local mix, quota, received, index = {}, 0, 0, 0
local threads = {}
-- Globals: done() reads them from the thread with thread:get.
statuses, sent = {}, {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  quota = tonumber(args[1])
  for i, r in ipairs(dofile(args[2])) do
    mix[i] = wrk.format(r[1], r[2], r[3], r[4])
  end
  -- Threads start at different places of the mix.
  index = math.random(#mix) - 1
end

function request()
  index = index % #mix + 1
  sent[index] = (sent[index] or 0) + 1
  return mix[index]
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  received = received + 1
  if received == quota then
    wrk.thread:stop()
  end
end

local function object(counts)
  local parts = {}
  for key, count in pairs(counts) do
    table.insert(parts, string.format('"%d": %d', key, count))
  end
  return "{" .. table.concat(parts, ", ") .. "}"
end

function done(summary, latency, requests)
  local all_statuses, all_sent = {}, {}
  for _, thread in ipairs(threads) do
    for key, count in pairs(thread:get("statuses")) do
      all_statuses[key] = (all_statuses[key] or 0) + count
    end
    for key, count in pairs(thread:get("sent")) do
      all_sent[key] = (all_sent[key] or 0) + count
    end
  end
  local errors = summary.errors
  io.write(string.format(
    'SOAK {"statuses": %s, "sent": %s, "errors": %d, "duration_us": %d, "p99_us": %d}\n',
    object(all_statuses), object(all_sent),
    errors.connect + errors.read + errors.write + errors.timeout,
    summary.duration, latency:percentile(99)))
end
