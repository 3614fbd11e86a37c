// Temporary: operations whose units have not landed yet. Each unit removes its entries here;
// the file goes away with the last of them.
#include "tessarc_app.h"

// Serial port, terminal protocol (owner: data path)
void CTessarcApp::startSerialPort() {}
void CTessarcApp::stopSerialPort() {}
void CTessarcApp::eachSecondAVISerialProtocol() {}
// Server connection (owner: data path)
void CTessarcApp::eachSecondServerProtocol() {}
int CTessarcApp::triggerReconnect() {
    return 0;
}
