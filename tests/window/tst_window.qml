import QtQuick
import QtQuick.Controls
import QtTest
import com.orvane.SwTxDownloader 1.0

TestCase {
    id: testCase
    name: "Window"
    when: windowShown

    // A controller of its own, reading and writing the same settings store
    // as the window's.
    QTftp {
        id: store
    }

    property var window: null

    function init() {
        fixture.reset()
    }

    function createWindow() {
        const component = Qt.createComponent("qrc:/main.qml")
        compare(component.status, Component.Ready, component.errorString())
        window = createTemporaryObject(component, testCase)
        verify(window)
        // Shortcuts and typed keys go to the active window, once it shows.
        window.requestActivate()
        tryVerify(() => window.active)
        waitForRendering(window.contentItem)
        return window
    }

    function child(name) {
        const found = findChild(window, name)
        verify(found, "no item named " + name)
        return found
    }

    function findItem(parent, predicate) {
        for (let i = 0; i < parent.children.length; ++i) {
            const item = parent.children[i]
            if (predicate(item))
                return item
            const inner = findItem(item, predicate)
            if (inner)
                return inner
        }
        return null
    }

    function isLogo(item) {
        return item instanceof Image && String(item.source) === "qrc:/Orvane.png"
    }

    function toolButton(text) {
        const button = findItem(window.header, item => item.action !== undefined && item.action.text === text)
        verify(button, "no tool button " + text)
        return button
    }

    // The controller logs the file list it has built.
    function verifyFileListBuilt() {
        const line = 'QList("' + fixture.firmwareFolder + '/7420BT-v1.0.bin")'
        const lines = fixture.takeDebugLines()
        verify(lines.includes(line), "no " + line + " in " + JSON.stringify(lines))
    }

    // The grid shows once a folder is accepted; the dialog's own buttons do
    // what accept() does.
    function acceptFolder() {
        const dialog = child("openDialog")
        mouseClick(toolButton("Open"))
        tryVerify(() => dialog.visible)
        dialog.currentFolder = fixture.firmwareFolder
        dialog.selectedFolder = fixture.firmwareFolder
        fixture.takeDebugLines()
        dialog.accept()
        tryVerify(() => !dialog.visible)
        verifyFileListBuilt()
    }

    function test_initialState() {
        createWindow()
        compare(window.title, "Skyweave Transmitter Update Tool")
        compare(window.width, 640)
        compare(window.height, 280)
        verify(window.header.visible && window.header.enabled)
        verify(window.footer.visible)
        compare(child("statusLine").text, "Open a folder to begin")
        verify(!child("gridLayout").visible)
        verify(!child("openDialog").visible)
        verify(!child("aboutDialog").visible)
        const progressBar = child("progressBar")
        compare(progressBar.from, 0)
        compare(progressBar.to, 1)
        compare(progressBar.value, 0)
        const logo = findItem(window.header, isLogo)
        verify(logo, "no logo in the tool bar")
        compare(logo.status, Image.Ready)
    }

    function test_startupBindings_data() {
        const rows = [{ tag: "nothing saved", interfaceName: "", address: "" }]
        for (const entry of store.ifsList) {
            const name = entry.split(" -- ")[0]
            if (!rows.some(row => row.interfaceName === name))
                rows.push({ tag: "saved " + name, interfaceName: name, address: "device.example" })
        }
        return rows
    }

    function test_startupBindings(data) {
        verify(store.ifsList.length > 0, "this machine lists no IPv4 address")
        if (data.interfaceName !== "")
            store.saveNetworkIf(data.interfaceName)
        store.saveNetworkAddr(data.address)
        createWindow()
        const qtftp = child("qtftp")
        const comboBox = child("interfaceComboBox")
        const index = qtftp.savedInterfaceIndex()
        compare(comboBox.currentIndex, index)
        // The saved interface's first entry, or the first entry of all.
        const expected = data.interfaceName === "" ? store.ifsList[0]
                                                   : store.ifsList.find(e => e.startsWith(data.interfaceName + " -- "))
        compare(comboBox.currentText, expected)
        // The first selection counts as a choice: saved, and handed over.
        const [name, address] = expected.split(" -- ")
        compare(qtftp.localAddress, address)
        compare(store.loadNetoworkIf(), name)
        compare(child("addressField").text, data.address)
        compare(qtftp.remoteAddress, data.address)
        compare(store.loadNetworkAddr(), data.address)
    }

    function test_openDialog_data() {
        return [
            { tag: "Open button", dialog: "openDialog", open: () => mouseClick(toolButton("Open")) },
            { tag: "Open shortcut", dialog: "openDialog", open: () => keySequence(StandardKey.Open) },
            { tag: "About button", dialog: "aboutDialog", open: () => mouseClick(toolButton("About")) },
            { tag: "About shortcut", dialog: "aboutDialog", open: () => keySequence(StandardKey.HelpContents) },
        ]
    }

    // Without the folder list model the folder dialog would log a line and
    // stay closed.
    function test_openDialog(data) {
        createWindow()
        const dialog = child(data.dialog)
        data.open()
        tryVerify(() => dialog.visible, 5000, data.dialog + " did not open")
        dialog.close()
        tryVerify(() => !dialog.visible)
    }

    function test_aboutDialog() {
        createWindow()
        const dialog = child("aboutDialog")
        dialog.open()
        tryVerify(() => dialog.visible)
        const logo = findItem(dialog.contentItem, isLogo)
        verify(logo, "no logo in the About dialog")
        compare(logo.status, Image.Ready)
        compare(Qt.size(logo.width, logo.height), Qt.size(249, 63))
        const label = findItem(dialog.contentItem, item => item instanceof Label)
        const lines = label.text.split("\n")
        compare(lines[0], "Version 1.1.0.9.0.5")
        verify(lines[1].indexOf("Orvane") >= 0, lines[1])
        keyClick(Qt.Key_Escape)
        tryVerify(() => !dialog.visible)
    }

    function test_folder() {
        createWindow()
        const dialog = child("openDialog")
        mouseClick(toolButton("Open"))
        tryVerify(() => dialog.visible)
        dialog.reject()
        tryVerify(() => !dialog.visible)
        verify(!child("gridLayout").visible)
        compare(child("selectedFolderLabel").text, "")

        acceptFolder()
        verify(child("gridLayout").visible)
        compare(child("selectedFolderLabel").text, String(fixture.firmwareFolder))
    }

    function test_typeAddress() {
        createWindow()
        acceptFolder()
        const qtftp = child("qtftp")
        const field = child("addressField")
        compare(field.text, "")
        // Each change must already be saved when it reaches the controller.
        const seen = []
        const record = address => seen.push([address, store.loadNetworkAddr()])
        qtftp.remoteAddressChanged.connect(record)
        field.forceActiveFocus()
        for (const key of "10.1")
            keyClick(key)
        qtftp.remoteAddressChanged.disconnect(record)
        compare(seen, [["1", "1"], ["10", "10"], ["10.", "10."], ["10.1", "10.1"]])
        compare(qtftp.remoteAddress, "10.1")
        compare(store.loadNetworkAddr(), "10.1")
    }

    function test_chooseInterface() {
        createWindow()
        acceptFolder()
        const qtftp = child("qtftp")
        const comboBox = child("interfaceComboBox")
        const loopback = comboBox.find("lo -- 127.0.0.1")
        verify(loopback >= 0, "no loopback entry in " + qtftp.ifsList)
        // Leave the loopback entry, whichever is selected, then pick it with
        // the keyboard as a user does.
        comboBox.currentIndex = -1
        fixture.reset()
        qtftp.localAddress = "0.0.0.0"
        comboBox.forceActiveFocus()
        for (let i = 0; i <= loopback; ++i)
            keyClick(Qt.Key_Down)
        compare(comboBox.currentIndex, loopback)
        compare(store.loadNetoworkIf(), "lo")
        compare(qtftp.localAddress, "127.0.0.1")
    }

    // The controls stay disabled until the update ends; meanwhile the status
    // line and the progress bar follow the transfer.
    function test_update() {
        createWindow()
        acceptFolder()
        const qtftp = child("qtftp")
        const grid = child("gridLayout")
        const progressBar = child("progressBar")
        const openDialog = child("openDialog")
        qtftp.localAddress = "127.0.0.1"
        qtftp.remotePort = fixture.devicePort
        child("addressField").text = "127.0.0.1"
        const datagrams = fixture.datagrams

        mouseClick(child("startButton"))
        verify(!window.header.enabled)
        verify(!grid.enabled)
        // Start scans the chosen folder again.
        verifyFileListBuilt()
        tryCompare(fixture, "datagrams", datagrams + 1)
        tryCompare(progressBar, "to", fixture.imageSize)
        compare(progressBar.value, 0)
        compare(child("statusLine").text, "Sending file 7420BT-v1.0.bin")

        // Progress is shown at most once a frame, so let one pass first.
        wait(20)
        fixture.acknowledge(0)
        tryCompare(fixture, "datagrams", datagrams + 2)
        tryVerify(() => qtftp.fileProgress > 0)
        compare(progressBar.value, qtftp.fileProgress)

        // A folder chosen now would change the file list under the update.
        keySequence(StandardKey.Open)
        mouseClick(toolButton("Open"))
        toolButton("Open").action.trigger()
        wait(50)
        verify(!openDialog.visible)

        fixture.refuse()
        tryVerify(() => window.header.enabled && grid.enabled)
        verify(qtftp.errorString.indexOf("Refused") >= 0, qtftp.errorString)
        compare(child("statusLine").text, qtftp.errorString)
        keySequence(StandardKey.Open)
        tryVerify(() => openDialog.visible)
        openDialog.close()
    }
}
