// What a request through a web proxy adds: the proxy's credentials, and
// for https the tunnel that CONNECT opens to the server.
#pragma once

#include "http/connection.h"
#include "http/transfer.h"

// Writes the Proxy-Authorization line when the proxy has credentials.
// Returns its length (0 when none).
int composeProxyAuthorization(const TransferRequest& request, char* line, int room);

// For https through a proxy, asks the proxy to connect to the server and
// reads its answer. Returns 1 when the tunnel is open (or none is needed),
// 0 with the stage and note otherwise: a 407 ends the run, any other
// refusal is a failed connect.
int openTunnel(Connection& connection, const TransferRequest& request, TransferResult& result);
