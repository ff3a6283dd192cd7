-- wrk script for the soak: ends wrk after a fixed number of responses (the first script
-- argument), so that a run is counted in requests rather than seconds. wrk's own summary
-- would only come at the end of its duration, so this prints its own line and exits.
local limit = 1000000
local count = 0
local failed = 0
local started = 0

function init(args)
    limit = tonumber(args[1]) or limit
    started = os.time()
end

function response(status, headers, body)
    count = count + 1
    if status ~= 200 then
        failed = failed + 1
    end
    if count >= limit then
        io.write(string.format("soak: %d responses, %d not 200\n", count, failed))
        io.flush()
        os.exit(0)
    end
end
