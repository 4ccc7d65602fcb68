import com.korrivan.navigation.NavCtrlJni;

/** Drives the library through a real JVM; exits non-zero on a wrong result. */
public final class NavCtrlJniDriver {
    private static void expect(String what, int got, int want) {
        System.out.println(what + " = " + got);
        if (got != want) {
            System.err.println("FAIL: " + what + " returned " + got + ", want " + want);
            System.exit(1);
        }
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0 && args[0].equals("second-run")) {
            // A new process sees the state the first one persisted.
            expect("getSta", NavCtrlJni.getSta(), 0);
            return;
        }
        expect("init", NavCtrlJni.init(), 0);
        expect("getSta", NavCtrlJni.getSta(), 1);
        expect("simulateY", NavCtrlJni.simulateY(), 0);
        expect("simulateX", NavCtrlJni.simulateX(), 0);
        expect("stop", NavCtrlJni.stop(), 0);
        expect("start", NavCtrlJni.start(), 0);
        expect("uinit", NavCtrlJni.uinit(), 0);
        expect("getSta", NavCtrlJni.getSta(), 0);
        Thread.sleep(200);  // let the threads end before the JVM does
    }
}
