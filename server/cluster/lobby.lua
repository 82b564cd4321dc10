-- The shared lobby of a cluster. One script, so that each operation checks,
-- changes and publishes its events in one atomic step.
-- ARGV: key prefix, event channel, operation, node id, operation arguments.
-- E: the protocol's error numbers by name (set up by the server in front of this).
local P, chan, op, node = ARGV[1], ARGV[2], ARGV[3], ARGV[4]
local SEP = '\31'
local lastSeq = 0

local function emit(...)
  lastSeq = redis.call('INCR', P .. 'seq')
  redis.call('PUBLISH', chan, table.concat({lastSeq, ...}, SEP))
end
local function ukey(u) return P .. 'u:' .. u end
local function rkey(g, r) return P .. 'room:' .. g .. SEP .. r end
local function pkey(g) return P .. 'players:' .. g end
local function lkey(g) return P .. 'rooms:' .. g end
local function nkey(n) return P .. 'nodeusers:' .. n end
local function split(s)
  local out = {}
  for f in (s .. SEP):gmatch('(.-)' .. SEP) do out[#out + 1] = f end
  return out
end
local function mine(user) return redis.call('HGET', ukey(user), 'node') == node end
local function inRoom(user) return redis.call('HEXISTS', ukey(user), 'room') == 1 end

local function closeRoom(g, r)
  local k = rkey(g, r)
  for _, m in ipairs(redis.call('LRANGE', k, 0, -1)) do redis.call('HDEL', ukey(m), 'room') end
  redis.call('DEL', k)
  redis.call('LREM', lkey(g), 0, r)
end

local function addMember(g, r, user)
  redis.call('RPUSH', rkey(g, r), user)
  redis.call('HSET', ukey(user), 'room', r)
end

-- A host that leaves takes its room with it. notice: '1' tells the other members,
-- '2' the owner too (its room was closed by the cluster, not at its request).
local function leave(user, notice)
  local g = redis.call('HGET', ukey(user), 'game')
  local r = redis.call('HGET', ukey(user), 'room')
  if not r then return false end
  if redis.call('LINDEX', rkey(g, r), 0) == user then
    closeRoom(g, r)
    emit('D', g, r, notice or '1')
  else
    redis.call('LREM', rkey(g, r), 0, user)
    redis.call('HDEL', ukey(user), 'room')
    emit('L', g, r, user)
  end
  return true
end

local function part(user)
  local u = ukey(user)
  local n = redis.call('HGET', u, 'node')
  if not n then return end
  leave(user, '2')
  local g = redis.call('HGET', u, 'game')
  redis.call('LREM', pkey(g), 0, user)
  redis.call('SREM', nkey(n), user)
  redis.call('DEL', u)
  if redis.call('LLEN', pkey(g)) == 0 then redis.call('SREM', P .. 'games', g) end
  emit('P', g, user)
end

local function join(user, g, host)
  redis.call('HSET', ukey(user), 'node', node, 'game', g, 'host', host)
  redis.call('RPUSH', pkey(g), user)
  redis.call('SADD', P .. 'games', g)
  redis.call('SADD', nkey(node), user)
  redis.call('SADD', P .. 'nodes', node)
  emit('J', g, user, host, node)
end

local function dropNode(n)
  for _, user in ipairs(redis.call('SMEMBERS', nkey(n))) do part(user) end
  -- Without its epoch the node's operations are refused until it restores.
  redis.call('DEL', nkey(n), P .. 'alive:' .. n, P .. 'epoch:' .. n)
  redis.call('SREM', P .. 'nodes', n)
end

-- What undoes a client's last change, kept with the request that made it.
local function done(user, req, undo)
  redis.call('HSET', ukey(user), 'req', req, 'undo', undo)
end

local function undo(user, req)
  local u = ukey(user)
  if not mine(user) or redis.call('HGET', u, 'req') ~= req then return end
  local f = split(redis.call('HGET', u, 'undo') or '')
  local g, r = f[2], f[3]
  if f[1] == 'C' and redis.call('LINDEX', rkey(g, r), 0) == user then
    closeRoom(g, r)
    emit('D', g, r, '1')
  elseif f[1] == 'E' and redis.call('HGET', u, 'room') == r and redis.call('LINDEX', rkey(g, r), 0) ~= user then
    redis.call('LREM', rkey(g, r), 0, user)
    redis.call('HDEL', u, 'room')
    emit('L', g, r, user)
  elseif f[1] == 'L' and not inRoom(user) and redis.call('EXISTS', rkey(g, r)) == 1
      and redis.call('LLEN', rkey(g, r)) < tonumber(f[4]) then
    addMember(g, r, user)
    emit('E', g, r, user)
  end
  redis.call('HDEL', u, 'req', 'undo')
end

-- Operations a client waits for carry a fence: the node's epoch (set by its last
-- restore), the request's number and the last moment (Redis's clock, ms) at which
-- the script may still run. A later run was answered "-ERR 99" already and must
-- change nothing.
local A, req = {}, nil
if op == 'join' or op == 'part' or op == 'create' or op == 'enter' or op == 'leave' or op == 'delete'
    or op == 'start' then
  local epoch, deadline
  epoch, req, deadline = ARGV[5], ARGV[6], tonumber(ARGV[7])
  if redis.call('GET', P .. 'epoch:' .. node) ~= epoch then return {E.ServerFailure, 0, 'fenced'} end
  if deadline > 0 then
    local t = redis.call('TIME')
    if tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) > deadline then
      return {E.ServerFailure, 0, 'late'}
    end
  end
  for i = 8, #ARGV do A[#A + 1] = ARGV[i] end
end

if op == 'join' then
  local user, g, host = A[1], A[2], A[3]
  if redis.call('EXISTS', ukey(user)) == 1 then return {E.AlreadySignedIn, 0} end
  join(user, g, host)
  done(user, req, '')
  return {0, lastSeq}
elseif op == 'part' then
  if mine(A[1]) then part(A[1]) end
  return {0, lastSeq}
elseif op == 'create' then
  local user, g, r = A[1], A[2], A[3]
  if not mine(user) then return {E.ServerFailure, 0} end
  if inRoom(user) then return {E.AlreadyInRoom, 0} end
  if redis.call('EXISTS', rkey(g, r)) == 1 then return {E.RoomExists, 0} end
  redis.call('RPUSH', lkey(g), r)
  addMember(g, r, user)
  emit('C', g, r, user)
  done(user, req, table.concat({'C', g, r}, SEP))
  return {0, lastSeq}
elseif op == 'enter' then
  local user, g, r, max = A[1], A[2], A[3], tonumber(A[4])
  if not mine(user) then return {E.ServerFailure, 0} end
  if inRoom(user) then return {E.AlreadyInRoom, 0} end
  if redis.call('EXISTS', rkey(g, r)) == 0 then return {E.NoSuchRoom, 0} end
  if redis.call('LLEN', rkey(g, r)) >= max then return {E.RoomFull, 0} end
  addMember(g, r, user)
  emit('E', g, r, user)
  done(user, req, table.concat({'E', g, r}, SEP))
  return {0, lastSeq}
elseif op == 'leave' then
  local user, max = A[1], A[2]
  if not mine(user) then return {E.ServerFailure, 0} end
  local g = redis.call('HGET', ukey(user), 'game')
  local r = redis.call('HGET', ukey(user), 'room')
  local owner = r and redis.call('LINDEX', rkey(g, r), 0) == user
  if not leave(user) then return {E.NoSuchRoom, 0} end
  done(user, req, owner and '' or table.concat({'L', g, r, max}, SEP))
  return {0, lastSeq}
elseif op == 'delete' then
  local user, g, r = A[1], A[2], A[3]
  if not mine(user) then return {E.ServerFailure, 0} end
  if redis.call('HGET', ukey(user), 'room') ~= r then
    return {redis.call('EXISTS', rkey(g, r)) == 1 and E.NotRoomOwner or E.NoSuchRoom, 0}
  end
  if redis.call('LINDEX', rkey(g, r), 0) ~= user then return {E.NotRoomOwner, 0} end
  closeRoom(g, r)
  emit('D', g, r, '1')
  done(user, req, '')
  return {0, lastSeq}
elseif op == 'start' then
  local user, min, address = A[1], tonumber(A[2]), A[3]
  if not mine(user) then return {E.ServerFailure, 0} end
  local g = redis.call('HGET', ukey(user), 'game')
  local r = redis.call('HGET', ukey(user), 'room')
  if not r or redis.call('LINDEX', rkey(g, r), 0) ~= user then return {E.NotRoomOwner, 0} end
  if redis.call('LLEN', rkey(g, r)) < min then return {E.TooFewPlayers, 0} end
  closeRoom(g, r)
  emit('S', g, r, address)
  done(user, req, '')
  return {0, lastSeq}
elseif op == 'reap' then
  local dead = 0
  for _, n in ipairs(redis.call('SMEMBERS', P .. 'nodes')) do
    if redis.call('EXISTS', P .. 'alive:' .. n) == 0 then
      dropNode(n)
      dead = dead + 1
    end
  end
  return {0, lastSeq, dead}
elseif op == 'drop' then
  dropNode(node)
  return {0, lastSeq}
elseif op == 'restore' then
  -- ARGV[5..7]: the node's new epoch, the generation of the shared state it last
  -- saw and one to use if there is none. Then the node's own players ('U', user,
  -- game, host), the rooms they are in ('R', game, room, max, owner, members...)
  -- and the requests it answered "-ERR 99" ('X', user, request).
  redis.call('SET', P .. 'epoch:' .. node, ARGV[5])
  redis.call('SADD', P .. 'nodes', node)
  local gen = redis.call('GET', P .. 'gen')
  if not gen then
    gen = ARGV[7]
    redis.call('SET', P .. 'gen', gen)
  end
  -- Only a shared state that lost everything (a restarted Redis) gets rooms back;
  -- otherwise a room that is gone was closed on purpose and its members were told.
  local fresh = gen ~= ARGV[6]
  local keep, lost, rooms = {}, {}, {}
  for i = 8, #ARGV do
    local f = split(ARGV[i])
    if f[1] == 'X' then undo(f[2], f[3]) end
  end
  for i = 8, #ARGV do
    local f = split(ARGV[i])
    if f[1] == 'U' then
      keep[f[2]] = true
      local n = redis.call('HGET', ukey(f[2]), 'node')
      if not n then join(f[2], f[3], f[4]) elseif n ~= node then lost[#lost + 1] = f[2] end
    elseif f[1] == 'R' and fresh then
      rooms[#rooms + 1] = f
    end
  end
  for _, user in ipairs(redis.call('SMEMBERS', nkey(node))) do
    if not keep[user] then part(user) end
  end
  for _, f in ipairs(rooms) do
    local g, r, max, owner = f[2], f[3], tonumber(f[4]), f[5]
    local function free(user)
      return redis.call('HGET', ukey(user), 'game') == g and not inRoom(user)
    end
    local exists = redis.call('EXISTS', rkey(g, r)) == 1
    if not exists and mine(owner) and free(owner) then
      redis.call('RPUSH', lkey(g), r)
      addMember(g, r, owner)
      emit('C', g, r, owner)
      exists = true
    end
    if exists then
      for k = 6, #f do
        local user = f[k]
        if (mine(user) or redis.call('LINDEX', rkey(g, r), 0) == owner and mine(owner))
            and free(user) and redis.call('LLEN', rkey(g, r)) < max then
          addMember(g, r, user)
          emit('E', g, r, user)
        end
      end
    end
  end
  local out = {0, lastSeq, gen}
  for _, user in ipairs(lost) do out[#out + 1] = user end
  return out
elseif op == 'snapshot' then
  local out = {tonumber(redis.call('GET', P .. 'seq') or '0')}
  for _, g in ipairs(redis.call('SMEMBERS', P .. 'games')) do
    out[#out + 1] = 'G' .. SEP .. g
    for _, user in ipairs(redis.call('LRANGE', pkey(g), 0, -1)) do
      local h = redis.call('HMGET', ukey(user), 'host', 'node')
      out[#out + 1] = table.concat({'U', user, h[1] or '0', h[2] or ''}, SEP)
    end
    for _, r in ipairs(redis.call('LRANGE', lkey(g), 0, -1)) do
      local rec = {'R', r}
      for _, m in ipairs(redis.call('LRANGE', rkey(g, r), 0, -1)) do rec[#rec + 1] = m end
      out[#out + 1] = table.concat(rec, SEP)
    end
  end
  return out
end
return redis.error_reply('unknown operation ' .. tostring(op))
